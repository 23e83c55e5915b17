#include <windows.h>

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

struct FindHandle {
    HANDLE Search;
    ~FindHandle()
    {
        if (Search != INVALID_HANDLE_VALUE)
            FindClose(Search);
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
                     const std::atomic<bool>* cancel)
{
    if (directory.empty() || (cancel && cancel->load(std::memory_order_relaxed)))
        return 0;
    WIN32_FIND_DATAW found;
    FindHandle search{FindFirst(directory + L"\\*", found)};
    if (search.Search == INVALID_HANDLE_VALUE)
        return 0;

    uint32_t folder = AddTrimFolder(index, directory);
    int64_t total = 0;
    do {
        // A folder of a hundred thousand files is read in about a second: Exit does not wait.
        if (cancel && cancel->load(std::memory_order_relaxed))
            break;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link may lead anywhere on the disk, or back into the
            // cache: it is never walked, so nothing outside the cache can be deleted.
            if (!IsDotEntry(found.cFileName) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                total += ScanCacheDir(directory + L"\\" + found.cFileName, index, cancel);
            continue;
        }
        int64_t size = static_cast<int64_t>((static_cast<uint64_t>(found.nFileSizeHigh) << 32) |
                                            found.nFileSizeLow);
        total += size;
        AddTrimCandidate(index, folder, found.cFileName, FileTime64(found.ftLastAccessTime), size);
    } while (FindNextFileW(search.Search, &found));
    return total;
}
