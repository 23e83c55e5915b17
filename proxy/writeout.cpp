#include "proxy/writeout.h"

#include "proxy/local_request.h"

bool AskProxyToWriteOut(const ProxyAddress& address, DWORD timeoutMs)
{
    LocalAnswer answer =
        AskLocalInterface(address, "POST", "/polipo/status", "writeout-objects=1", false, GetTickCount(), timeoutMs);
    // 303 when done; 403 or 405 when the proxy's config disables the form or its local pages.
    return answer.Answered && answer.Status >= 200 && answer.Status < 400;
}
