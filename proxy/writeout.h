// Asking the running proxy to put what it holds in memory on disk, before it is stopped.
#pragma once

#include <windows.h>

// Posts the writeout-objects form to the proxy's local interface on 127.0.0.1:8123 and waits
// for the status line of its answer. Connecting, sending and waiting together take at most
// timeoutMs. True when an answer came, whatever its status; false when nobody listens or
// nothing answered in time.
bool AskProxyToWriteOut(DWORD timeoutMs);
