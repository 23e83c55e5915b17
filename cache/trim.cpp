#include <windows.h>

#include <vector>

#include "app/app_state.h"
#include "cache/trim.h"
#include "cache/trim_rules.h"

namespace {

// The directory as the file system resolves it, so that "C:\cache\.." is seen for the root
// it is.
std::wstring FullPath(const std::wstring& directory)
{
    std::vector<wchar_t> full(MAX_PATH);
    DWORD length = GetFullPathNameW(directory.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = GetFullPathNameW(directory.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return directory;
    return std::wstring(full.data(), length);
}

}  // namespace

void TrimCache(const std::wstring& directory, int64_t limit)
{
    TrimIndex& index = App.TrimCandidates;
    ClearTrimIndex(index);
    if (limit <= 0 || directory.empty() || IsVolumeRoot(directory) || IsVolumeRoot(FullPath(directory)))
        return;

    int64_t total = ScanCacheDir(directory, index);
    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (total > limit) {
        const TrimCandidate* oldest = NextOldest(index, walk);
        if (!oldest)
            break;
        // A file held open by the proxy, read-only or not ours stays, and still counts.
        if (DeleteFileW(TrimCandidatePath(index, *oldest).c_str()))
            total -= oldest->Size;
    }
    ClearTrimIndex(index);
}
