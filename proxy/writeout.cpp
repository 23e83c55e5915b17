// winsock2.h must come before windows.h, which the header below includes.
#include <winsock2.h>
#include <ws2tcpip.h>

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

// Where to reach host: its IPv4 or IPv6 number, or the IPv4 loopback address for a name.
int HostAddress(const std::wstring& host, unsigned short port, sockaddr_storage& where)
{
    where = sockaddr_storage{};
    if (host.find(L':') != std::wstring::npos) {
        auto* six = reinterpret_cast<sockaddr_in6*>(&where);
        INT length = sizeof(sockaddr_in6);
        std::wstring text = host;
        if (WSAStringToAddressW(&text[0], AF_INET6, nullptr, reinterpret_cast<sockaddr*>(six), &length) != 0)
            return 0;
        six->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    auto* four = reinterpret_cast<sockaddr_in*>(&where);
    four->sin_family = AF_INET;
    four->sin_port = htons(port);
    unsigned long address = inet_addr(Bytes(host).c_str());
    four->sin_addr.s_addr = address == INADDR_NONE ? htonl(INADDR_LOOPBACK) : address;
    return sizeof(sockaddr_in);
}

bool Connect(SOCKET s, const sockaddr_storage& where, int length, DWORD start, DWORD timeoutMs)
{
    if (connect(s, reinterpret_cast<const sockaddr*>(&where), length) == 0)
        return true;
    // Windows retries a refused connection for about a second: the deadline bounds that too.
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, true, start, timeoutMs))
        return false;
    int error = 0;
    int size = sizeof(error);
    return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 && error == 0;
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

// Reads until the first line of the answer is complete; the rest is of no interest. True when
// it says the objects were written out: the proxy answers 303 then, and 403 when its config
// forbids the form.
bool ReceiveDone(SOCKET s, DWORD start, DWORD timeoutMs)
{
    std::string answer;
    for (;;) {
        size_t space = answer.find(' ');
        if (answer.find('\n') != std::string::npos)
            return answer.compare(0, 5, "HTTP/") == 0 && space != std::string::npos && space + 1 < answer.size() &&
                   (answer[space + 1] == '2' || answer[space + 1] == '3');
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
    sockaddr_storage where;
    int length = HostAddress(address.Host, address.Port, where);
    if (length == 0)
        return false;
    SOCKET s = socket(where.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    u_long nonBlocking = 1;
    std::string request = "POST /polipo/status HTTP/1.0\r\nHost: " + Bytes(HostAndPort(address)) +
                          "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(sizeof(WRITEOUT_FORM) - 1) + "\r\n\r\n" + WRITEOUT_FORM;
    bool answered = ioctlsocket(s, FIONBIO, &nonBlocking) == 0 && Connect(s, where, length, start, timeoutMs) &&
                    SendAll(s, request, start, timeoutMs) && ReceiveDone(s, start, timeoutMs);
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
