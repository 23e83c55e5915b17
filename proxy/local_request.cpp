// winsock2.h must come before windows.h, which the header below includes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "proxy/local_request.h"

#include <cstdlib>

namespace {

// The proxy's pages are a few kilobytes; this bounds what a stray server costs.
constexpr size_t LONGEST_ANSWER = 64 * 1024;

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

// Where to reach host: its IPv4 or IPv6 number, or the IPv4 loopback address for a name. The
// length of the address, 0 when host cannot be reached.
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

// The body's length as the head gives it, or -1 when it gives none.
long ContentLength(const std::string& head)
{
    std::string lower = head;
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    size_t at = lower.find("\ncontent-length:");
    return at == std::string::npos ? -1 : std::strtol(lower.c_str() + at + 16, nullptr, 10);
}

// Done reading: the status line is in, or, for the whole answer, the body as long as the head
// says (without a length, the proxy's end of the connection says it).
bool Complete(const std::string& answer, bool wholeAnswer)
{
    if (!wholeAnswer)
        return answer.find('\n') != std::string::npos;
    size_t headEnd = answer.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return false;
    long length = ContentLength(answer.substr(0, headEnd + 2));
    return length >= 0 && answer.size() - (headEnd + 4) >= static_cast<size_t>(length);
}

void ReadAnswer(SOCKET s, bool wholeAnswer, DWORD start, DWORD timeoutMs, std::string& answer)
{
    while (!Complete(answer, wholeAnswer) && answer.size() < LONGEST_ANSWER) {
        char buffer[4096];
        int n = recv(s, buffer, sizeof(buffer), 0);
        if (n > 0)
            answer.append(buffer, n);
        else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, false, start, timeoutMs))
            return;
    }
}

LocalAnswer ParseAnswer(const std::string& answer, bool wholeAnswer)
{
    LocalAnswer parsed;
    size_t lineEnd = answer.find('\n');
    if (lineEnd == std::string::npos || answer.compare(0, 5, "HTTP/") != 0)
        return parsed;
    if (wholeAnswer && answer.find("\r\n\r\n") == std::string::npos)
        return parsed;
    std::string line = answer.substr(0, lineEnd);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    size_t code = line.find(' ');
    if (code == std::string::npos)
        return parsed;
    parsed.Answered = true;
    parsed.Status = std::atoi(line.c_str() + code + 1);
    size_t words = line.find(' ', code + 1);
    if (words != std::string::npos)
        parsed.Reason = line.substr(words + 1);
    if (wholeAnswer)
        parsed.Body = answer.substr(answer.find("\r\n\r\n") + 4);
    return parsed;
}

}  // namespace

LocalAnswer AskLocalInterface(const ProxyAddress& address, const std::string& method, const std::string& path,
                              const std::string& form, bool wholeAnswer, DWORD start, DWORD timeoutMs)
{
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)
        return LocalAnswer();
    std::string answer;
    sockaddr_storage where;
    int length = HostAddress(address.Host, address.Port, where);
    SOCKET s = length ? socket(where.ss_family, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    if (s != INVALID_SOCKET) {
        u_long nonBlocking = 1;
        std::string request = method + " " + path + " HTTP/1.0\r\nHost: " + Bytes(HostAndPort(address)) +
                              "\r\nCache-Control: no-cache\r\n";
        if (!form.empty())
            request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                       std::to_string(form.size()) + "\r\n";
        request += "\r\n" + form;
        if (ioctlsocket(s, FIONBIO, &nonBlocking) == 0 && Connect(s, where, length, start, timeoutMs) &&
            SendAll(s, request, start, timeoutMs))
            ReadAnswer(s, wholeAnswer, start, timeoutMs, answer);
        closesocket(s);
    }
    WSACleanup();
    return ParseAnswer(answer, wholeAnswer);
}
