#include "proxy/offline.h"

#include "proxy/local_request.h"

int StatusPageSaysOffline(const std::string& page)
{
    // "<p>The private proxy on 127.0.0.1:8123 is off line.</p>"; online it may add
    // "(transparency relaxed)".
    if (page.find(" is off line") != std::string::npos)
        return 1;
    if (page.find(" is on line") != std::string::npos)
        return 0;
    return -1;
}

OfflineResult SetProxyOffline(const ProxyAddress& address, bool offline, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    OfflineResult result;
    LocalAnswer set = AskLocalInterface(address, "POST", "/polipo/config",
                                        offline ? "proxyOffline=true" : "proxyOffline=false", false, start, timeoutMs);
    result.Status = set.Status;
    result.Reason = set.Reason;
    if (!set.Answered) {
        result.Outcome = OfflineOutcome::NoAnswer;
        return result;
    }
    // disableConfiguration answers 403, disableLocalInterface 405: both are the config's word.
    if (set.Status == 403 || set.Status == 405) {
        result.Outcome = OfflineOutcome::Refused;
        return result;
    }
    // The form is done when the proxy sends the browser back to the page.
    if (set.Status != 303) {
        result.Outcome = OfflineOutcome::Unexpected;
        return result;
    }
    LocalAnswer status = AskLocalInterface(address, "GET", "/polipo/status", "", true, start, timeoutMs);
    result.Outcome = StatusPageSaysOffline(status.Body) == (offline ? 1 : 0) ? OfflineOutcome::Done
                                                                            : OfflineOutcome::Unconfirmed;
    return result;
}
