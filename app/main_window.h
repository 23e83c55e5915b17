// The hidden main window: it owns the tray icon, the trim timer and every dialog.
#pragma once

#include <windows.h>

void RegisterMainWindowClass(HINSTANCE instance);

// Creates the main window, adds the tray icon and starts the proxy unless one already runs.
// FALSE only when the window could not be created.
BOOL CreateMainWindow(HINSTANCE instance, int showCommand);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
