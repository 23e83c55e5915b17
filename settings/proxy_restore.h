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

enum class RestoreFile {
    Absent,    // no such file: nothing to give back
    Usable,    // kelvor's address and the LAN settings, every value as kelvor writes it
    Unusable,  // anything else (empty, cut short, damaged, a folder): it may be the only copy of
               // the user's settings, so it is kept untouched and no connection is changed
};

// What file holds, in saved when it is Usable.
RestoreFile LoadProxyRestore(const std::wstring& file, SavedProxySettings& saved);

// The file's bytes as they are, to be put back by PutBackProxyRestore when a change that
// rewrote it is rolled back. False when it cannot be read.
bool ReadProxyRestoreBytes(const std::wstring& file, std::string& bytes);
bool PutBackProxyRestore(const std::wstring& file, const std::string& bytes, DWORD& error);
