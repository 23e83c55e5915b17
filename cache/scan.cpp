#include <windows.h>

#include <vector>

#include "cache/proxy_files.h"
#include "cache/trim.h"

namespace {

// Larger directory reads and no short names where the system offers them (Windows 7 on);
// older systems refuse the request and get the plain search.
HANDLE FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW& found)
{
    static std::atomic<bool> basicInfoRefused{false};
    if (!basicInfoRefused) {
        const auto FIND_INFO_BASIC = static_cast<FINDEX_INFO_LEVELS>(1);
        const DWORD FIND_LARGE_FETCH = 2;
        HANDLE search = FindFirstFileExW(pattern.c_str(), FIND_INFO_BASIC, &found,
                                         FindExSearchNameMatch, nullptr, FIND_LARGE_FETCH);
        if (search != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER)
            return search;
        basicInfoRefused = true;
    }
    return FindFirstFileW(pattern.c_str(), &found);
}

// The searches open along the walk, one per level, the deepest last; closed at the end however
// the walk ends.
struct OpenFolder {
    HANDLE Search;
    std::wstring Path;
    bool HoldsObjects;  // a server's folder of the proxy's, right below the cache folder
    uint32_t Folder;    // its number in the index, where it holds objects
};

struct OpenFolders {
    std::vector<OpenFolder> Levels;
    ~OpenFolders()
    {
        for (const OpenFolder& level : Levels)
            FindClose(level.Search);
    }
    // Lists path and makes it the deepest level, with its first entry in found; a folder that
    // holds objects is recorded in index. False when it cannot be listed.
    bool Enter(const std::wstring& path, bool holdsObjects, TrimIndex& index, WIN32_FIND_DATAW& found)
    {
        HANDLE search = FindFirst(path + L"\\*", found);
        if (search == INVALID_HANDLE_VALUE)
            return false;
        Levels.push_back(OpenFolder{search, path, holdsObjects, holdsObjects ? AddTrimFolder(index, path) : 0});
        return true;
    }
    // The next entry of the deepest folder, or, when it has none left, of the one above it; false
    // when the walk is over.
    bool Next(WIN32_FIND_DATAW& found)
    {
        while (!Levels.empty()) {
            if (FindNextFileW(Levels.back().Search, &found))
                return true;
            FindClose(Levels.back().Search);
            Levels.pop_back();
        }
        return false;
    }
};

bool IsDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

}  // namespace

int64_t ScanCacheDir(const std::wstring& directory, TrimIndex& index, const std::atomic<bool>* cancel,
                     DWORD* listError, uint64_t* otherFiles)
{
    if (otherFiles)
        *otherFiles = 0;
    if (directory.empty() || (cancel && cancel->load(std::memory_order_relaxed)))
        return 0;
    // The walk keeps its own list of open folders rather than recursing: a tree as deep as the
    // long path form allows (thousands of levels) costs heap, not the thread's stack. A subfolder
    // is still walked where its entry is met, so ties keep the order of a recursive walk. The
    // walk goes below the proxy's two levels only to count what is not the proxy's.
    OpenFolders open;
    WIN32_FIND_DATAW found;
    // Two bytes a file less in the index: every name of the proxy's ends so.
    index.NameEnd = L"==";
    if (!open.Enter(directory, false, index, found)) {
        if (listError)
            *listError = GetLastError();
        return 0;
    }
    int64_t total = 0;
    uint64_t others = 0;
    bool entry = true;  // found holds an entry not handled yet
    while (entry) {
        // A folder of a hundred thousand files is read in about a second: Exit does not wait.
        if (cancel && cancel->load(std::memory_order_relaxed))
            break;
        bool entered = false;
        const OpenFolder& here = open.Levels.back();
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link may lead anywhere on the disk, or back into the
            // cache: it is never walked, so nothing outside the cache can be deleted.
            if (!IsDotEntry(found.cFileName) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                bool holdsObjects = open.Levels.size() == 1 && IsProxyHostFolder(found.cFileName);
                std::wstring sub = here.Path + L"\\" + found.cFileName;
                entered = open.Enter(sub, holdsObjects, index, found);
            }
        } else if (here.HoldsObjects && IsProxyFileName(found.cFileName)) {
            int64_t size = static_cast<int64_t>((static_cast<uint64_t>(found.nFileSizeHigh) << 32) |
                                                found.nFileSizeLow);
            total += size;
            found.cFileName[PROXY_FILE_NAME_LENGTH - 2] = 0;
            AddTrimCandidate(index, here.Folder, found.cFileName, LastUseTime(found), size);
        } else {
            // The user's own, or another program's: neither counted nor touched.
            ++others;
        }
        // A folder just entered has its first entry in found already.
        entry = entered || open.Next(found);
    }
    if (otherFiles)
        *otherFiles = others;
    return total;
}
