// winsock2.h must come before windows.h, which the header below includes.
#include <winsock2.h>

#include "proxy/writeout.h"

#include <string>

namespace {

constexpr char WRITEOUT_FORM[] = "writeout-objects=1";

// The time left of timeoutMs since start; GetTickCount wraps, the difference does not.
DWORD Remaining(DWORD start, DWORD timeoutMs)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

// True when the socket became ready for reading (or writing) before the deadline.
bool WaitReady(SOCKET s, bool forWrite, DWORD start, DWORD timeoutMs)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    DWORD left = Remaining(start, timeoutMs);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    int n = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &wait);
    // A refused non-blocking connect is reported through the except set, not as writable.
    return n > 0 && FD_ISSET(s, &ready) && !FD_ISSET(s, &failed);
}

// The config file's text, widened byte by byte, back as it was written.
std::string Bytes(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t c : text)
        bytes += static_cast<char>(c);
    return bytes;
}

// The IPv4 address of host, or the loopback address for anything else.
unsigned long HostAddress(const std::wstring& host)
{
    unsigned long address = inet_addr(Bytes(host).c_str());
    return address == INADDR_NONE ? htonl(INADDR_LOOPBACK) : address;
}

bool Connect(SOCKET s, const ProxyAddress& address, DWORD start, DWORD timeoutMs)
{
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(address.Port);
    proxy.sin_addr.s_addr = HostAddress(address.Host);
    if (connect(s, reinterpret_cast<const sockaddr*>(&proxy), sizeof(proxy)) == 0)
        return true;
    // Windows retries a refused connection for about a second: the deadline bounds that too.
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, true, start, timeoutMs))
        return false;
    int error = 0;
    int length = sizeof(error);
    return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
           error == 0;
}

bool SendAll(SOCKET s, const std::string& data, DWORD start, DWORD timeoutMs)
{
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n > 0)
            sent += n;
        else if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, true, start, timeoutMs))
            return false;
    }
    return true;
}

// Reads until the first line of the answer is complete; the rest is of no interest.
bool ReceiveStatusLine(SOCKET s, DWORD start, DWORD timeoutMs)
{
    std::string answer;
    for (;;) {
        if (answer.find('\n') != std::string::npos)
            return answer.compare(0, 5, "HTTP/") == 0;
        char buffer[256];
        int n = recv(s, buffer, sizeof(buffer), 0);
        if (n > 0)
            answer.append(buffer, n);
        else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK ||
                 !WaitReady(s, false, start, timeoutMs))
            return false;
    }
}

bool PostWriteOut(const ProxyAddress& address, DWORD start, DWORD timeoutMs)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    u_long nonBlocking = 1;
    std::string request = "POST /polipo/status HTTP/1.0\r\nHost: " + Bytes(HostAndPort(address)) +
                          "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(sizeof(WRITEOUT_FORM) - 1) + "\r\n\r\n" + WRITEOUT_FORM;
    bool answered = ioctlsocket(s, FIONBIO, &nonBlocking) == 0 && Connect(s, address, start, timeoutMs) &&
                    SendAll(s, request, start, timeoutMs) && ReceiveStatusLine(s, start, timeoutMs);
    closesocket(s);
    return answered;
}

}  // namespace

bool AskProxyToWriteOut(const ProxyAddress& address, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)
        return false;
    bool answered = PostWriteOut(address, start, timeoutMs);
    WSACleanup();
    return answered;
}
