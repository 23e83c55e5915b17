#include "proxy/proxy_address.h"

#include <windows.h>

#include <cstdlib>

namespace {

constexpr wchar_t DEFAULT_HOST[] = L"127.0.0.1";
constexpr unsigned short DEFAULT_PORT = 8123;
// A config is a few lines; this bounds what a stray large file costs.
constexpr size_t LONGEST_CONFIG_READ = 1024 * 1024;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsNameChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool IsBareValueChar(char c)
{
    return IsNameChar(c) || c == '_' || c == '-' || c == '~' || c == '.' || c == ':' || c == '/';
}
bool EndsLine(char c) { return c == '\0' || c == '#'; }

size_t SkipSpace(const std::string& line, size_t i)
{
    while (i < line.size() && IsSpace(line[i]))
        ++i;
    return i;
}

char At(const std::string& line, size_t i) { return i < line.size() ? line[i] : '\0'; }

// A quoted value with its backslash escapes undone, or a bare one; false on a syntax error,
// which makes the proxy ignore the line.
bool ParseAtom(const std::string& line, size_t& i, std::string& value)
{
    value.clear();
    if (At(line, i) == '"') {
        for (++i; At(line, i) != '"'; ++i) {
            if (At(line, i) == '\0')
                return false;
            if (line[i] == '\\' && At(line, i + 1) != '\0')
                ++i;
            value += line[i];
        }
        ++i;
    } else {
        while (IsBareValueChar(At(line, i)))
            value += line[i++];
    }
    return EndsLine(At(line, SkipSpace(line, i)));
}

// strtol with base 0, as the proxy reads a number: 0x1f90 and 017620 are numbers too.
bool ParseNumber(const std::string& line, size_t i, long& value)
{
    const char* start = line.c_str() + i;
    char* end = nullptr;
    value = std::strtol(start, &end, 0);
    return end > start;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide;
    for (unsigned char c : text)
        wide += static_cast<wchar_t>(c);
    return wide;
}

// Every interface, as the proxy's listener takes it: "0.0.0.0" (or "0") for IPv4, "::" in any
// spelling for IPv6. The proxy answers on the loopback address of the same family.
std::wstring Reachable(const std::string& host)
{
    bool zeros = !host.empty() && host.find_first_not_of("0.:") == std::string::npos;
    if (zeros && host.find(':') != std::string::npos)
        return L"::1";
    if (zeros && host.find_first_not_of("0.") == std::string::npos)
        return DEFAULT_HOST;
    return Widen(host);
}

// A boolean as the proxy reads one: a word, true or yes, false or no, in any case.
bool ParseBoolean(const std::string& line, size_t i, bool& value)
{
    std::string word;
    while (i < line.size() && ((line[i] >= 'a' && line[i] <= 'z') || (line[i] >= 'A' && line[i] <= 'Z')))
        word += static_cast<char>(line[i++] | 0x20);
    if (word == "true" || word == "yes")
        value = true;
    else if (word == "false" || word == "no")
        value = false;
    else
        return false;
    return true;
}

void ParseLine(const std::string& line, ProxyConfig& config, bool& disableConfiguration, bool& disableLocalInterface)
{
    ProxyAddress& address = config.Address;
    size_t i = SkipSpace(line, 0);
    size_t nameStart = i;
    while (IsNameChar(At(line, i)))
        ++i;
    std::string name = line.substr(nameStart, i - nameStart);
    i = SkipSpace(line, i);
    if (name.empty() || At(line, i) != '=')
        return;
    i = SkipSpace(line, i + 1);
    if (name == "proxyAddress") {
        std::string host;
        if (!ParseAtom(line, i, host))
            return;
        for (char& c : host)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        address.Host = Reachable(host);
    } else if (name == "proxyPort") {
        long port = 0;
        if (ParseNumber(line, i, port) && port > 0 && port <= 65535)
            address.Port = static_cast<unsigned short>(port);
    } else if (name == "disableConfiguration") {
        ParseBoolean(line, i, disableConfiguration);
    } else if (name == "disableLocalInterface") {
        ParseBoolean(line, i, disableLocalInterface);
    }
}

}  // namespace

ProxyConfig ParseProxyConfig(const std::string& configText)
{
    ProxyConfig config{{DEFAULT_HOST, DEFAULT_PORT}, std::wstring()};
    bool disableConfiguration = false;
    bool disableLocalInterface = false;
    size_t start = 0;
    while (start < configText.size()) {
        size_t end = configText.find('\n', start);
        if (end == std::string::npos)
            end = configText.size();
        ParseLine(configText.substr(start, end - start), config, disableConfiguration, disableLocalInterface);
        start = end + 1;
    }
    if (config.Address.Host.empty())
        config.Address.Host = DEFAULT_HOST;
    // Either makes the proxy refuse the form; the one that also hides the pages is named first.
    if (disableLocalInterface)
        config.WriteOutRefusedBy = L"disableLocalInterface";
    else if (disableConfiguration)
        config.WriteOutRefusedBy = L"disableConfiguration";
    return config;
}

ProxyAddress ParseProxyAddress(const std::string& configText)
{
    return ParseProxyConfig(configText).Address;
}

ProxyConfig ReadProxyConfig(const std::wstring& configFile)
{
    std::string text;
    HANDLE file = CreateFileW(configFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD read = 0;
        while (text.size() < LONGEST_CONFIG_READ && ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read);
        CloseHandle(file);
    }
    return ParseProxyConfig(text);
}

ProxyAddress ReadProxyAddress(const std::wstring& configFile)
{
    return ReadProxyConfig(configFile).Address;
}

std::wstring HostAndPort(const ProxyAddress& address)
{
    bool ipv6 = address.Host.find(L':') != std::wstring::npos;
    return (ipv6 ? L"[" + address.Host + L"]" : address.Host) + L":" + std::to_wstring(address.Port);
}
