// The commands of the tray menu and the accelerators.
#pragma once

#include <windows.h>

// Carries out one command, then hands the message to DefWindowProcW as every command does.
LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam);
