// The hidden main window: it owns the tray icon, the trim timer and every dialog.
#pragma once

#include <windows.h>

// The tray icon's callback; the mouse message arrives in lParam.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;

void RegisterMainWindowClass(HINSTANCE instance);

// Creates the main window, adds the tray icon and starts the proxy unless one already runs.
// FALSE only when the window could not be created.
BOOL CreateMainWindow(HINSTANCE instance, int showCommand);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
