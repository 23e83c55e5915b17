// Switching the running proxy between serving from its cache alone and serving online, through
// its configuration form, without a restart.
#pragma once

#include <windows.h>

#include <string>

#include "proxy/proxy_address.h"

enum class OfflineOutcome {
    Done,         // the proxy's status page says it is as asked
    Refused,      // its configuration interface is off in its config (403 or 405)
    Unexpected,   // it answered the form otherwise than with "done"
    NoAnswer,     // nobody listens, or no answer came in time
    Unconfirmed,  // it took the form, but its status page does not say so
};

struct OfflineResult {
    OfflineOutcome Outcome = OfflineOutcome::NoAnswer;
    int Status = 0;      // the form's answer, for Refused and Unexpected
    std::string Reason;  // its words
};

// Posts proxyOffline=true (or false) to /polipo/config of the proxy at address, then reads its
// status page to see that it took it. Both together take at most timeoutMs.
OfflineResult SetProxyOffline(const ProxyAddress& address, bool offline, DWORD timeoutMs);

// What the proxy's status page says of it: 1 "off line", 0 "on line", -1 neither.
int StatusPageSaysOffline(const std::string& page);
