// Where the cache is, and whether kelvor may delete files in it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The cache folder as a full path without a trailing separator, its environment variables put
// in. A relative cacheDir is taken from programDir (ending in a backslash), as the proxy, which
// runs there, takes it too. An empty cacheDir stays empty.
std::wstring ResolveCacheDir(const std::wstring& programDir, const std::wstring& cacheDir);

// cacheDir with the environment variables it names (%LOCALAPPDATA%, %USERPROFILE%, ...) put in,
// so that one settings file serves every user. A name between percent signs that is no variable
// stays as written, and unset is set.
std::wstring ExpandCacheDir(const std::wstring& cacheDir, bool& unset);

// A folder that a trim pass must never reach.
struct ProtectedFolder {
    std::wstring Path;  // full path, as the user is told of it
    bool Inside;        // no folder inside it may be the cache either (the Windows folder)
};

// The program folder, the Windows folder, the Program Files folders, the user's profile,
// Desktop and Documents.
std::vector<ProtectedFolder> ProtectedFolders(const std::wstring& programDir);

enum class CacheDirVerdict {
    Trimmable,
    Empty,                  // no folder: nothing to trim, nothing to say
    TooLong,                // MAX_PATH characters or more: kelvor never shortens it
    VolumeRoot,             // the whole drive or share
    HoldsProtectedFolder,   // is, or contains, one of the protected folders
    InsideProtectedFolder,  // lies inside the Windows folder
    Link,                   // is a junction, mount point or link, which may lead anywhere
    UnsetVariable,          // names an environment variable that is not set
};

// Whether a pass may run over resolved (from ResolveCacheDir). Folders are compared by what
// they are on disk (volume and file index of each folder and its parents), so no other
// spelling of a protected folder (a share, a second drive letter, a volume name, a junction)
// gets past; by name only where a folder cannot be opened. For HoldsProtectedFolder and
// InsideProtectedFolder, which names the protected folder concerned.
CacheDirVerdict CheckCacheDir(const std::wstring& resolved, const std::vector<ProtectedFolder>& protectedFolders,
                              std::wstring& which);

// The cache folder that cacheDir, as written in the settings, names, and whether a pass may run
// over it. Folder is empty when it names an unset variable: no such folder is made or used.
struct CacheDirCheck {
    std::wstring Folder;
    CacheDirVerdict Verdict;
    std::wstring Which;
};
CacheDirCheck CheckCacheDirSetting(const std::wstring& programDir, const std::wstring& cacheDir);

// Whether a and b (full paths) are one folder, compared as CheckCacheDir compares folders: by
// volume and file index, so that another spelling (a short name, a second drive letter, a share,
// a junction) is the same folder; by name, without regard to case, where either cannot be opened.
bool IsSameFolder(const std::wstring& a, const std::wstring& b);

// A name for folder that every spelling of it shares: its volume and file index, or, where it
// cannot be opened, its full path in upper case. It holds no backslash, so that it can name a
// kernel object.
std::wstring FolderKey(const std::wstring& folder);

// What a folder is on disk, whatever its name: its volume and file index.
struct FolderIdentity {
    DWORD Volume;
    DWORD IndexHigh;
    DWORD IndexLow;
    bool operator==(const FolderIdentity& other) const
    {
        return Volume == other.Volume && IndexHigh == other.IndexHigh && IndexLow == other.IndexLow;
    }
    bool operator!=(const FolderIdentity& other) const { return !(*this == other); }
};

// The identity of the folder that folder names now, after any junction or link in its place;
// false when it cannot be opened. A pass compares it with the one taken when the folder was
// adopted, so that a folder replaced meanwhile (by a junction to anywhere) is not walked.
bool IdentityOf(const std::wstring& folder, FolderIdentity& id);

// Creates folder and any missing parents. True when it exists afterwards; otherwise false with
// the system's error code.
bool CreateCacheDir(const std::wstring& folder, DWORD& error);
