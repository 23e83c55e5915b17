// Where the cache is, and whether kelvor may delete files in it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The cache folder as a full path without a trailing separator. A relative cacheDir is taken
// from programDir (ending in a backslash), as the proxy, which runs there, takes it too. An
// empty cacheDir stays empty.
std::wstring ResolveCacheDir(const std::wstring& programDir, const std::wstring& cacheDir);

// Folders that a trim pass must never reach: the program folder, the Windows folder, the
// Program Files folders, the user's profile, Desktop and Documents, each as a full path.
std::vector<std::wstring> ProtectedFolders(const std::wstring& programDir);

enum class CacheDirVerdict {
    Trimmable,
    Empty,                 // no folder: nothing to trim, nothing to say
    TooLong,               // MAX_PATH characters or more: kelvor never shortens it
    VolumeRoot,            // the whole drive or share
    HoldsProtectedFolder,  // is, or contains, one of the protected folders
};

// Whether a pass may run over resolved (from ResolveCacheDir). For HoldsProtectedFolder, which
// names the protected folder concerned.
CacheDirVerdict CheckCacheDir(const std::wstring& resolved, const std::vector<std::wstring>& protectedFolders,
                              std::wstring& which);

// Creates folder and any missing parents. True when it exists afterwards; otherwise false with
// the system's error code.
bool CreateCacheDir(const std::wstring& folder, DWORD& error);
