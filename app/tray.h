// The notification-area icon and its popup menu.
#pragma once

#include <windows.h>

#include <string>

// Adds the icon, retrying for as long as the shell times out; any other refusal closes the
// main window, which ends the program.
void AddTrayIcon(HWND window);
void RemoveTrayIcon(HWND window);

// A balloon from the icon, for what happened in the background.
void ShowBalloon(HWND window, const std::wstring& title, const std::wstring& text);

// The tray menu at the cursor; a chosen item arrives as WM_COMMAND.
void ShowTrayMenu(HWND window);
