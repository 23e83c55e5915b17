// What kelvor writes into the system's proxy settings, and when a connection's settings are
// still the ones kelvor wrote. Plain values in, plain values out.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// One connection's proxy settings as WinINet keeps them. A text that is not set is kept apart
// from an empty one, so that it is given back unset.
struct ConnectionProxy {
    std::wstring Connection;  // the dial-up or VPN entry; empty for the LAN settings
    DWORD Flags = 1;          // PROXY_TYPE_* bits
    std::optional<std::wstring> Server;
    std::optional<std::wstring> Bypass;
    std::optional<std::wstring> AutoConfigUrl;

    bool operator==(const ConnectionProxy& other) const
    {
        return Connection == other.Connection && Flags == other.Flags && Server == other.Server &&
               Bypass == other.Bypass && AutoConfigUrl == other.AutoConfigUrl;
    }
    bool operator!=(const ConnectionProxy& other) const { return !(*this == other); }
};

// The user's own bypass entries, in their order, then those of the local names and private
// networks that they lack: requests there never go through kelvor's proxy.
std::wstring BypassWithLocalAddresses(const std::optional<std::wstring>& own);

// own with a manual proxy at address ("127.0.0.1:8123") and the bypass list above. The
// automatic configuration is switched off, its address kept.
ConnectionProxy PointedAt(const ConnectionProxy& own, const std::wstring& address);

// True while the connection's manual proxy is on and is address: the user has not set it
// otherwise since kelvor set it.
bool NamesAddress(const ConnectionProxy& now, const std::wstring& address);

// The user's own settings for each connection in current: the saved ones where the connection
// still names savedAddress (kelvor set it and the user left it so), what it holds now
// otherwise (the user's own, or a connection that is new).
std::vector<ConnectionProxy> OwnSettings(const std::vector<ConnectionProxy>& current,
                                         const std::vector<ConnectionProxy>& saved,
                                         const std::wstring& savedAddress);
