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

// The folder above path as written, or empty at a root. "C:\" keeps its separator.
std::wstring ParentOf(const std::wstring& path)
{
    std::wstring folder = WithoutTrailingSeparator(path);
    if (IsVolumeRoot(folder))
        return std::wstring();
    size_t cut = folder.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut == 0)
        return std::wstring();
    std::wstring parent = folder.substr(0, cut + 1);
    return IsVolumeRoot(parent) ? parent : WithoutTrailingSeparator(parent);
}

// A folder under each of its names on disk, and what is known of it and of every folder above.
struct FolderOnDisk {
    std::vector<std::wstring> Names;
    bool Known = false;          // its own id could be read
    FolderIdentity Id{};
    std::vector<FolderIdentity> Above; // the folders above it, under each of its names, that could be opened
};

FolderOnDisk Examine(const std::wstring& path)
{
    FolderOnDisk folder;
    folder.Names = OtherNamesOf(path);
    folder.Names.insert(folder.Names.begin(), path);
    folder.Known = IdentityOf(path, folder.Id);
    for (const std::wstring& name : folder.Names) {
        for (std::wstring parent = ParentOf(name); !parent.empty(); parent = ParentOf(parent)) {
            FolderIdentity id;
            if (IdentityOf(parent, id))
                folder.Above.push_back(id);
        }
    }
    return folder;
}

bool Among(const std::vector<FolderIdentity>& ids, const FolderIdentity& id)
{
    for (const FolderIdentity& each : ids) {
        if (each == id)
            return true;
    }
    return false;
}

// By name, where a folder cannot be opened: whether a name of inner is, or lies in, a name of outer.
bool NamedInside(const FolderOnDisk& inner, const FolderOnDisk& outer)
{
    for (const std::wstring& in : inner.Names) {
        for (const std::wstring& out : outer.Names) {
            if (IsSameOrInside(in, out))
                return true;
        }
    }
    return false;
}

// Whether inner is outer or lies anywhere inside it.
bool IsInside(const FolderOnDisk& inner, const FolderOnDisk& outer)
{
    if (outer.Known) {
        if (inner.Known)
            return inner.Id == outer.Id || Among(inner.Above, outer.Id);
        // A folder not made yet, under outer by another name.
        if (Among(inner.Above, outer.Id))
            return true;
    }
    return NamedInside(inner, outer);
}

void AddFolder(std::vector<ProtectedFolder>& folders, const std::wstring& path, bool inside = false)
{
    folders.push_back(ProtectedFolder{WithoutTrailingSeparator(FullPathOf(path)), inside});
}

void AddShellFolder(std::vector<ProtectedFolder>& folders, int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)) && path[0])
        AddFolder(folders, path);
}

}  // namespace

bool IdentityOf(const std::wstring& folder, FolderIdentity& id)
{
    // Backup semantics open a folder, and the open follows junctions and links to what they name.
    HANDLE handle = CreateFileW(LongPathForm(folder).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (known)
        id = FolderIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return known;
}

std::wstring ResolveCacheDir(const std::wstring& programDir, const std::wstring& cacheDir)
{
    bool unset = false;
    std::wstring path = ExpandCacheDir(cacheDir, unset);
    if (path.empty())
        return path;
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

std::wstring ExpandCacheDir(const std::wstring& cacheDir, bool& unset)
{
    unset = false;
    for (size_t open = cacheDir.find(L'%'); open != std::wstring::npos; open = cacheDir.find(L'%', open + 1)) {
        size_t close = cacheDir.find(L'%', open + 1);
        if (close == std::wstring::npos)
            break;
        // A name with a separator is no variable but a folder with percent signs ("C:\50%\%X%"):
        // its closing sign may open the next name, as when the system puts them in.
        std::wstring name = cacheDir.substr(open + 1, close - open - 1);
        if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) {
            open = close - 1;
            continue;
        }
        if (GetEnvironmentVariableW(name.c_str(), nullptr, 0) == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            unset = true;
        open = close;
    }
    if (cacheDir.find(L'%') == std::wstring::npos)
        return cacheDir;
    DWORD length = ExpandEnvironmentStringsW(cacheDir.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(cacheDir.c_str(), &expanded[0], length) != length)
        return cacheDir;
    expanded.resize(length - 1);
    return expanded;
}

std::vector<ProtectedFolder> ProtectedFolders(const std::wstring& programDir)
{
    std::vector<ProtectedFolder> folders;
    AddFolder(folders, programDir);
    // Only the Windows folder is closed as a whole: the default cache lives beside kelvor.exe,
    // which may be under Program Files.
    wchar_t windows[MAX_PATH] = L"";
    if (GetWindowsDirectoryW(windows, MAX_PATH))
        AddFolder(folders, windows, true);
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

CacheDirVerdict CheckCacheDir(const std::wstring& resolved, const std::vector<ProtectedFolder>& protectedFolders,
                              std::wstring& which)
{
    if (resolved.empty())
        return CacheDirVerdict::Empty;
    if (resolved.size() >= MAX_PATH)
        return CacheDirVerdict::TooLong;
    FolderOnDisk cache = Examine(resolved);
    for (const std::wstring& name : cache.Names) {
        if (IsVolumeRoot(name))
            return CacheDirVerdict::VolumeRoot;
    }
    std::vector<FolderOnDisk> examined;
    for (const ProtectedFolder& folder : protectedFolders)
        examined.push_back(Examine(folder.Path));
    for (size_t i = 0; i < examined.size(); ++i) {
        if (IsInside(examined[i], cache)) {
            which = protectedFolders[i].Path;
            return CacheDirVerdict::HoldsProtectedFolder;
        }
    }
    for (size_t i = 0; i < examined.size(); ++i) {
        if (protectedFolders[i].Inside && IsInside(cache, examined[i])) {
            which = protectedFolders[i].Path;
            return CacheDirVerdict::InsideProtectedFolder;
        }
    }
    DWORD attributes = GetFileAttributesW(LongPathForm(resolved).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return CacheDirVerdict::Link;
    return CacheDirVerdict::Trimmable;
}

CacheDirCheck CheckCacheDirSetting(const std::wstring& programDir, const std::wstring& cacheDir)
{
    CacheDirCheck check{std::wstring(), CacheDirVerdict::UnsetVariable, std::wstring()};
    bool unset = false;
    ExpandCacheDir(cacheDir, unset);
    if (unset)
        return check;
    check.Folder = ResolveCacheDir(programDir, cacheDir);
    check.Verdict = CheckCacheDir(check.Folder, ProtectedFolders(programDir), check.Which);
    return check;
}

bool IsSameFolder(const std::wstring& a, const std::wstring& b)
{
    FolderIdentity idA{}, idB{};
    if (IdentityOf(a, idA) && IdentityOf(b, idB))
        return idA == idB;
    std::vector<std::wstring> namesA = OtherNamesOf(a), namesB = OtherNamesOf(b);
    namesA.push_back(WithoutTrailingSeparator(FullPathOf(a)));
    namesB.push_back(WithoutTrailingSeparator(FullPathOf(b)));
    for (const std::wstring& nameA : namesA) {
        for (const std::wstring& nameB : namesB) {
            if (IsSameOrInside(nameA, nameB) && IsSameOrInside(nameB, nameA))
                return true;
        }
    }
    return false;
}

std::wstring FolderKey(const std::wstring& folder)
{
    FolderIdentity id{};
    if (IdentityOf(folder, id)) {
        wchar_t key[40];
        wsprintfW(key, L"%08lX-%08lX%08lX", id.Volume, id.IndexHigh, id.IndexLow);
        return key;
    }
    std::wstring key = WithoutTrailingSeparator(FullPathOf(folder));
    if (!key.empty())
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.c_str(), static_cast<int>(key.size()), &key[0],
                     static_cast<int>(key.size()));
    for (wchar_t& c : key) {
        if (c == L'\\')
            c = L'/';
    }
    return key;
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
