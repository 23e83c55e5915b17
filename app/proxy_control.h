// The supervised proxy as the user sees it: started, restarted, purging, and the box that says
// when it could not be started.
#pragma once

#include <windows.h>

// Makes the cache folder and launches the proxy kelvor supervises. A failure is shown over
// owner; false then.
bool StartProxy(HWND owner);

// Stops the supervised proxy, if one runs; quick when the session ends.
void StopSupervisedProxy(bool quick);

// Stops the supervised proxy, pauses for its port to be free, and starts it again; a proxy
// that kelvor had given up on is tried afresh.
bool RestartProxy(HWND owner);

// Runs the proxy once in purge mode, then removes the files it would have removed. owner is
// the main window.
void PurgeCache(HWND owner);

// "Failed to boot polipo (<error>)" in a message box over owner.
void ShowBootFailure(HWND owner, DWORD error);
