// The supervised proxy as the user sees it: started, restarted, purging, and the box that says
// when it could not be started.
#pragma once

#include <windows.h>

// Launches the proxy kelvor supervises. A failure is shown over owner; false then.
bool StartProxy(HWND owner);

// Stops the supervised proxy, pauses for its port to be free, and starts it again.
bool RestartProxy(HWND owner);

// Runs the proxy once in purge mode, then removes the files it would have removed. owner is
// the main window.
void PurgeCache(HWND owner);

// "Failed to boot polipo (<error>)" in a message box over owner.
void ShowBootFailure(HWND owner, DWORD error);
