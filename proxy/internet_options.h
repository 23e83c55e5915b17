// The current user's proxy settings, per connection, through WinINet: what browsers that follow
// the system's settings read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "proxy/system_proxy_rules.h"

// The LAN settings (an empty name) first, then every dial-up and VPN entry the system lists.
// False, with the system's error, when the list cannot be had (no rasapi32, a phonebook that
// cannot be read): there may be entries all the same, so that is never taken for "none".
bool ListConnections(std::vector<std::wstring>& names, DWORD& error);

// The flags, proxy server, bypass list and automatic-configuration address of one connection.
// False, with the system's error, when WinINet refused.
bool ReadConnectionProxy(const std::wstring& connection, ConnectionProxy& proxy, DWORD& error);

// Sets the four of them for proxy.Connection, as they are in proxy.
bool WriteConnectionProxy(const ConnectionProxy& proxy, DWORD& error);

// Tells running programs that the settings have changed, so that they read them again.
void AnnounceProxyChange();
