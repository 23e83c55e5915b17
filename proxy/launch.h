// Starting the proxy program beside kelvor.exe.
#pragma once

#include <windows.h>

// Launches the proxy hidden in ProgramDir. Normal mode records it in ProxyProcess; purge mode
// ("-x") starts a run that purges the cache and ends by itself, owned by nobody. A failed
// launch is reported over owner and gives false.
bool LaunchProxy(HWND owner, bool purge);

// LaunchProxy; when a normal-mode launch fails, owner is destroyed too, which ends the program
// when owner is the main window.
void StartProxy(HWND owner, bool purge);

// "Failed to boot polipo (<error>)" in a message box over owner.
void ShowBootFailure(HWND owner, DWORD error);
