#include "proxy/writeout.h"

#include "proxy/local_request.h"

bool AskProxyToWriteOut(const ProxyAddress& address, DWORD timeoutMs)
{
    return AskLocalInterface(address, "POST", "/polipo/status", "writeout-objects=1", false, GetTickCount(), timeoutMs)
        .Answered;
}
