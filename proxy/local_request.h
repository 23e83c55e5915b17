// One request to the running proxy's own pages (/polipo/...), over a socket of its own, within a
// time limit: the write-out before a stop and the switch to and from working offline.
#pragma once

#include <windows.h>

#include <string>

#include "proxy/proxy_address.h"

struct LocalAnswer {
    bool Answered = false;  // a status line came in time
    int Status = 0;         // its code, e.g. 303
    std::string Reason;     // its words, e.g. "Action not allowed"
    std::string Body;       // read only when the whole answer was asked for
};

// Sends method path over HTTP/1.0 to the proxy at address, with form as its url-encoded body
// when not empty and with "Cache-Control: no-cache", so that a page the proxy made a moment ago
// is made anew. A host that is no IPv4 or IPv6 number is reached on 127.0.0.1, where every proxy
// on this machine can be asked (a name would need a lookup that may outlast the time given).
// Waits for the status line only, or with wholeAnswer for the whole answer (up to 64 KiB).
// Connecting, sending and waiting take at most what is left of timeoutMs since start (a
// GetTickCount value), so that several requests can share one limit.
LocalAnswer AskLocalInterface(const ProxyAddress& address, const std::string& method, const std::string& path,
                              const std::string& form, bool wholeAnswer, DWORD start, DWORD timeoutMs);
