// Pointing the system's proxy settings at kelvor's proxy, and giving the user's own back, over a
// store of connections (in kelvor the system's own). Nothing of the user's is lost on any
// failure: proxy-restore.ini is on disk before any connection changes, is put back as it was
// when a change is rolled back, and goes only once nothing is left in it to give back.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "proxy/system_proxy_rules.h"

struct ConnectionStore {
    std::function<bool(std::vector<std::wstring>& names, DWORD& error)> List;
    std::function<bool(const std::wstring& connection, ConnectionProxy& proxy, DWORD& error)> Read;
    std::function<bool(const ConnectionProxy& proxy, DWORD& error)> Write;
    std::function<void()> Announce;
};

// The current user's connections: the dial-up list and WinINet's settings per connection.
ConnectionStore SystemConnections();

enum class SwitchFailure {
    None,
    UnusableFile,   // the saved file is not one kelvor can give back: nothing was changed
    NotListed,      // the list of connections could not be had: nothing was changed
    NotRead,        // Connection could not be read: nothing was changed
    NotSaved,       // the saved file could not be written: nothing was changed
    Refused,        // Connection refused the change: everything is as it was
    NotRolledBack,  // Connection refused, and another could not be set back: the file stays
    NotGivenBack,   // Connection could not be given back: the file stays
};

struct SwitchResult {
    SwitchFailure Failure = SwitchFailure::None;
    std::wstring Connection;
    DWORD Error = ERROR_SUCCESS;
};

// Saves the user's own settings of every connection to file, then sets each to a manual proxy
// at address ("127.0.0.1:8123"). A file found there already keeps the settings it holds for
// the connections that still name its address (kelvor ended without giving them back).
SwitchResult PointConnectionsAt(const std::wstring& file, const std::wstring& address, const ConnectionStore& store);

// Puts back each saved connection that still names the saved address, and deletes file once
// every one was put back, was set otherwise by the user, or is verifiably gone. No file: done.
SwitchResult GiveConnectionsBack(const std::wstring& file, const ConnectionStore& store);
