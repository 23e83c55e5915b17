#include <windows.h>

#include <vector>

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
    uint32_t Folder;  // its number in the index
};

struct OpenFolders {
    std::vector<OpenFolder> Levels;
    ~OpenFolders()
    {
        for (const OpenFolder& level : Levels)
            FindClose(level.Search);
    }
    // Lists path, records it in index and makes it the deepest level, with its first entry in
    // found; false when it cannot be listed.
    bool Enter(const std::wstring& path, TrimIndex& index, WIN32_FIND_DATAW& found)
    {
        HANDLE search = FindFirst(path + L"\\*", found);
        if (search == INVALID_HANDLE_VALUE)
            return false;
        Levels.push_back(OpenFolder{search, AddTrimFolder(index, path)});
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

uint64_t FileTime64(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

int64_t ScanCacheDir(const std::wstring& directory, TrimIndex& index,
                     const std::atomic<bool>* cancel, DWORD* listError)
{
    if (directory.empty() || (cancel && cancel->load(std::memory_order_relaxed)))
        return 0;
    // The walk keeps its own list of open folders rather than recursing: a tree as deep as the
    // long path form allows (thousands of levels) costs heap, not the thread's stack. A subfolder
    // is still walked where its entry is met, so ties in access time keep the order of a
    // recursive walk.
    OpenFolders open;
    WIN32_FIND_DATAW found;
    if (!open.Enter(directory, index, found)) {
        if (listError)
            *listError = GetLastError();
        return 0;
    }
    int64_t total = 0;
    bool entry = true;  // found holds an entry not handled yet
    while (entry) {
        // A folder of a hundred thousand files is read in about a second: Exit does not wait.
        if (cancel && cancel->load(std::memory_order_relaxed))
            break;
        bool entered = false;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link may lead anywhere on the disk, or back into the
            // cache: it is never walked, so nothing outside the cache can be deleted.
            if (!IsDotEntry(found.cFileName) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                std::wstring sub = index.Folders[open.Levels.back().Folder] + L"\\" + found.cFileName;
                entered = open.Enter(sub, index, found);
            }
        } else {
            int64_t size = static_cast<int64_t>((static_cast<uint64_t>(found.nFileSizeHigh) << 32) |
                                                found.nFileSizeLow);
            total += size;
            AddTrimCandidate(index, open.Levels.back().Folder, found.cFileName, FileTime64(found.ftLastAccessTime),
                             size);
        }
        // A folder just entered has its first entry in found already.
        entry = entered || open.Next(found);
    }
    return total;
}
