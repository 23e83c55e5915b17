// Asking the running proxy to put what it holds in memory on disk, before it is stopped.
#pragma once

#include <windows.h>

#include "proxy/proxy_address.h"

// Posts the writeout-objects form to the proxy's local interface at address and waits for the
// status line of its answer. A host that is no IPv4 or IPv6 number is reached on 127.0.0.1,
// where every proxy on this machine can be asked (a name would need a lookup that may outlast
// the time given). Connecting, sending and waiting together take at most timeoutMs. True when
// the proxy answered that it wrote its objects out; false when it refused (its config
// disables the form), nobody listens or nothing answered in time.
bool AskProxyToWriteOut(const ProxyAddress& address, DWORD timeoutMs);
