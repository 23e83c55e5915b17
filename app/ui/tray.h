// The notification-area icon, its tip, its balloons and its popup menu. It shows what the state
// record holds and reads nothing else of kelvor.
#pragma once

#include <windows.h>

#include <string>

// Adds the icon with the tip of the moment. False when the shell refused it or kept timing out:
// there may be no taskbar yet, and its "TaskbarCreated" is worth waiting for.
bool AddTrayIcon(HWND window);
void RemoveTrayIcon(HWND window);

// The icon and tip for the proxy's state and the cache's use. The tip is also the text of the
// main window's hidden child IDC_TIP, where tools that cannot read the notification area can.
void UpdateTrayIcon(HWND window);
std::wstring TrayTip();

// A balloon from the icon, for what happened in the background; a warning shows the warning
// sign, anything else the information sign. Without an icon it is kept, and shown when the icon
// is added again.
void ShowBalloon(HWND window, const std::wstring& title, const std::wstring& text, bool warning = false);

// The tray menu at the cursor, with the check marks it is given; a chosen item arrives as
// WM_COMMAND.
void ShowTrayMenu(HWND window, bool startWithWindows, bool systemProxy);
