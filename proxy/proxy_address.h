// Where the proxy listens, as its own config file sets it: the address and port kelvor talks to
// it on (the write-out, the Config page) and shows (the tip).
#pragma once

#include <string>

struct ProxyAddress {
    std::wstring Host;  // a proxy listening on every interface is reached on 127.0.0.1
    unsigned short Port;
};

// proxyAddress and proxyPort from the text of the proxy's config, read as the proxy reads it:
// "name = value" lines, a value quoted or bare, "#" starting a comment, the last setting of a
// name winning. 127.0.0.1 and 8123 where the text sets neither.
ProxyAddress ParseProxyAddress(const std::string& configText);

// The same from the file; the defaults when it cannot be read (the proxy then fails to start).
ProxyAddress ReadProxyAddress(const std::wstring& configFile);

// "127.0.0.1:8123"
std::wstring HostAndPort(const ProxyAddress& address);
