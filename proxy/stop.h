// Stopping the supervised proxy.
#pragma once

#include <windows.h>

#include "proxy/proxy_address.h"

// The longest a stop takes when nothing else limits it: a second for the write-out, five for a
// window of the proxy's own to close, one for a terminated proxy to be gone.
constexpr DWORD FULL_STOP_MS = 7000;

// Asks the proxy at address to write what it holds in memory to disk (at most a second), then
// stops it: a proxy with a top-level window of its own is asked to close and given up to 5 s;
// one without (a console program has nothing to ask) is ended at once, as is one that outlasts
// its grace. Every wait comes out of the one timeoutMs, which leaves room for the end of a
// terminated proxy: Exit and the end of the session have less time than a Restart. Waits for
// it to be gone (within that time), closes its handle and leaves process all zero. Does nothing
// when process holds no handle.
void StopProxy(PROCESS_INFORMATION& process, const ProxyAddress& address, DWORD timeoutMs = FULL_STOP_MS);
