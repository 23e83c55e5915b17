// Stopping the supervised proxy, and starting it afresh.
#pragma once

#include <windows.h>

// Asks the proxy recorded in ProxyProcess to close, gives it 5 s, then terminates it. Leaves
// ProxyProcess all zero. Does nothing when no proxy is recorded.
void StopProxy();

// StopProxy, a short pause, and a new launch in normal mode: false when that launch failed
// (the failure has been reported over owner).
bool RelaunchProxy(HWND owner);

// RelaunchProxy; a failed launch also destroys owner, ending the program when it is the main
// window.
void RestartProxy(HWND owner);
