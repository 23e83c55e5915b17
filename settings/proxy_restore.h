// proxy-restore.ini beside kelvor.exe: the user's own proxy settings, saved before kelvor points
// the system at its proxy, and kept until they are given back. A file still there at start
// means kelvor ended without giving them back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "proxy/system_proxy_rules.h"

constexpr wchar_t PROXY_RESTORE_FILE[] = L"proxy-restore.ini";

struct SavedProxySettings {
    std::wstring Address;  // what kelvor set the connections to
    std::vector<ConnectionProxy> Connections;
};

// Writes saved to file as UTF-16, through a file beside it that is flushed to disk and then put
// in its place, so that file is never found half written. False, with the system's error, when
// it could not be; file is then as it was.
bool SaveProxyRestore(const std::wstring& file, const SavedProxySettings& saved, DWORD& error);

// What file holds; false when there is no such file.
bool LoadProxyRestore(const std::wstring& file, SavedProxySettings& saved);
