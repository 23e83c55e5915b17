#include "cache/cache_folder.h"

#include <shlobj.h>

#include "cache/trim_rules.h"

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The other names a folder that exists goes by: its long name (for "C:\PROGRA~1") and, where
// the system can say (Vista on), its final path after every junction and link.
std::vector<std::wstring> OtherNamesOf(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    std::wstring longForm = LongPathForm(folder);
    std::wstring longName(32768, L'\0');
    DWORD length = GetLongPathNameW(longForm.c_str(), &longName[0], static_cast<DWORD>(longName.size()));
    if (length > 0 && length < longName.size()) {
        longName.resize(length);
        names.push_back(WithoutTrailingSeparator(longName));
    }

    using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    static const auto finalPathOf = reinterpret_cast<FinalPathFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (!finalPathOf)
        return names;
    HANDLE handle = CreateFileW(longForm.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return names;
    std::wstring finalName(32768, L'\0');
    length = finalPathOf(handle, &finalName[0], static_cast<DWORD>(finalName.size()), 0);
    CloseHandle(handle);
    if (length > 0 && length < finalName.size()) {
        finalName.resize(length);
        names.push_back(WithoutTrailingSeparator(finalName));
    }
    return names;
}

void AddFolder(std::vector<std::wstring>& folders, const std::wstring& path)
{
    std::wstring folder = WithoutTrailingSeparator(FullPathOf(path));
    folders.push_back(folder);
    for (const std::wstring& name : OtherNamesOf(folder))
        folders.push_back(name);
}

void AddShellFolder(std::vector<std::wstring>& folders, int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)) && path[0])
        AddFolder(folders, path);
}

}  // namespace

std::wstring ResolveCacheDir(const std::wstring& programDir, const std::wstring& cacheDir)
{
    if (cacheDir.empty())
        return cacheDir;
    std::wstring path = cacheDir;
    bool hasDrive = path.size() >= 2 && path[1] == L':';
    bool rooted = !path.empty() && IsSeparator(path[0]);
    // "C:cache" would be taken from the current folder of drive C:, which is anybody's guess:
    // on the program's drive it is taken from the program folder, elsewhere from the root.
    if (hasDrive && !(path.size() >= 3 && IsSeparator(path[2]))) {
        bool programDrive = programDir.size() >= 2 && programDir[1] == L':' &&
                            (path[0] | 0x20) == (programDir[0] | 0x20);
        path = programDrive ? programDir + path.substr(2) : path.substr(0, 2) + L"\\" + path.substr(2);
    } else if (!hasDrive && !rooted)
        path = programDir + path;
    else if (rooted && !(path.size() >= 2 && IsSeparator(path[1])) && programDir.size() >= 2 && programDir[1] == L':')
        path = programDir.substr(0, 2) + path;  // "\cache": on the program's drive, not the current one
    return WithoutTrailingSeparator(FullPathOf(path));
}

std::vector<std::wstring> ProtectedFolders(const std::wstring& programDir)
{
    std::vector<std::wstring> folders;
    AddFolder(folders, programDir);
    wchar_t windows[MAX_PATH] = L"";
    if (GetWindowsDirectoryW(windows, MAX_PATH))
        AddFolder(folders, windows);
    AddShellFolder(folders, CSIDL_PROGRAM_FILES);
    AddShellFolder(folders, CSIDL_PROGRAM_FILESX86);
    // A 32-bit program on 64-bit Windows is told only of "Program Files (x86)".
    wchar_t programFiles64[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"ProgramW6432", programFiles64, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        AddFolder(folders, programFiles64);
    AddShellFolder(folders, CSIDL_PROFILE);
    AddShellFolder(folders, CSIDL_DESKTOPDIRECTORY);
    AddShellFolder(folders, CSIDL_PERSONAL);
    return folders;
}

CacheDirVerdict CheckCacheDir(const std::wstring& resolved, const std::vector<std::wstring>& protectedFolders,
                              std::wstring& which)
{
    if (resolved.empty())
        return CacheDirVerdict::Empty;
    if (resolved.size() >= MAX_PATH)
        return CacheDirVerdict::TooLong;
    // The folder as written, and the names it goes by on disk: a short name or a junction must
    // not hide what it holds.
    std::vector<std::wstring> names = OtherNamesOf(resolved);
    names.insert(names.begin(), resolved);
    for (const std::wstring& name : names) {
        if (IsVolumeRoot(name))
            return CacheDirVerdict::VolumeRoot;
    }
    for (const std::wstring& name : names) {
        for (const std::wstring& folder : protectedFolders) {
            if (IsSameOrInside(folder, name)) {
                which = folder;
                return CacheDirVerdict::HoldsProtectedFolder;
            }
        }
    }
    return CacheDirVerdict::Trimmable;
}

bool CreateCacheDir(const std::wstring& folder, DWORD& error)
{
    error = ERROR_SUCCESS;
    std::wstring path = LongPathForm(folder);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return true;
        error = ERROR_ALREADY_EXISTS;
        return false;
    }
    // Parents first, from the outermost missing one in.
    size_t parentEnd = WithoutTrailingSeparator(folder).find_last_of(L"\\/");
    if (parentEnd != std::wstring::npos && parentEnd > 0) {
        std::wstring parent = folder.substr(0, parentEnd);
        if (!IsVolumeRoot(parent) && parent.size() > 2 && GetFileAttributesW(LongPathForm(parent).c_str()) == INVALID_FILE_ATTRIBUTES &&
            !CreateCacheDir(parent, error))
            return false;
    }
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    error = GetLastError();
    return false;
}
