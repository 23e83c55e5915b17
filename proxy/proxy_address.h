// Where the proxy listens, as its own config file sets it: the address and port kelvor talks to
// it on (the write-out, the Config page) and shows (the tip).
#pragma once

#include <string>

struct ProxyAddress {
    std::wstring Host;  // a proxy on every IPv4 interface is reached on 127.0.0.1, on every IPv6 one on ::1
    unsigned short Port;
};

// What kelvor needs of the proxy's config: where it listens, and whether it refuses the
// write-out kelvor asks for before each stop.
struct ProxyConfig {
    ProxyAddress Address;
    std::wstring WriteOutRefusedBy;  // "disableConfiguration" or "disableLocalInterface" when set true
};
ProxyConfig ParseProxyConfig(const std::string& configText);
ProxyConfig ReadProxyConfig(const std::wstring& configFile);

// proxyAddress and proxyPort from the text of the proxy's config, read as the proxy reads it:
// "name = value" lines, a value quoted or bare, "#" starting a comment, the last setting of a
// name winning. 127.0.0.1 and 8123 where the text sets neither.
ProxyAddress ParseProxyAddress(const std::string& configText);

// The same from the file; the defaults when it cannot be read (the proxy then fails to start).
ProxyAddress ReadProxyAddress(const std::wstring& configFile);

// "127.0.0.1:8123", "[::1]:8123": as a URL, WinINet and the user write it.
std::wstring HostAndPort(const ProxyAddress& address);
