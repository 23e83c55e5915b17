// The Settings and About dialogs.
#pragma once

#include <windows.h>

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The shell's folder picker, rooted at the desktop. True with the chosen folder's path in
// folder; false, with folder untouched, when nothing usable was chosen.
bool BrowseForCacheDir(HWND owner, wchar_t (&folder)[MAX_PATH]);
