// Stopping the supervised proxy.
#pragma once

#include <windows.h>

// Asks the proxy to close, gives it 5 s, then terminates it and waits for it to be gone; closes
// its handle and leaves process all zero. Does nothing when process holds no handle.
void StopProxy(PROCESS_INFORMATION& process);
