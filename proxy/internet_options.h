// The current user's proxy settings, per connection, through WinINet: what browsers that follow
// the system's settings read.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "proxy/system_proxy_rules.h"

// The LAN settings (an empty name) first, then every dial-up and VPN entry the system lists.
// No entries, or none to be had, gives the LAN settings alone.
std::vector<std::wstring> ListConnections();

// The flags, proxy server, bypass list and automatic-configuration address of one connection.
// False, with the system's error, when WinINet refused.
bool ReadConnectionProxy(const std::wstring& connection, ConnectionProxy& proxy, DWORD& error);

// Sets the four of them for proxy.Connection, as they are in proxy.
bool WriteConnectionProxy(const ConnectionProxy& proxy, DWORD& error);

// Tells running programs that the settings have changed, so that they read them again.
void AnnounceProxyChange();
