#include <windows.h>

#include <vector>

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

bool Requested(const std::atomic<bool>* cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

}  // namespace

std::wstring CacheRootForPass(const std::wstring& directory)
{
    if (directory.empty() || IsVolumeRoot(directory))
        return std::wstring();
    std::wstring full = WithoutTrailingSeparator(FullPath(directory));
    if (IsVolumeRoot(full))
        return std::wstring();
    // In the long form every path below the root can be listed and deleted, however deep.
    return LongPathForm(full);
}

TrimResult TrimCache(const std::wstring& directory, int64_t limit, const std::atomic<bool>* cancel)
{
    TrimResult result;
    std::wstring root = CacheRootForPass(directory);
    if (limit <= 0 || root.empty())
        return result;

    TrimIndex index;
    result.BytesBefore = result.BytesAfter = ScanCacheDir(root, index, cancel);
    result.FilesSeen = index.Count;
    // A scan cut short has not seen every file: what it did see is not the oldest for sure.
    if (Requested(cancel)) {
        result.Cancelled = true;
        return result;
    }

    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (result.BytesAfter > limit) {
        if (Requested(cancel)) {
            result.Cancelled = true;
            break;
        }
        const TrimCandidate* oldest = NextOldest(index, walk);
        if (!oldest)
            break;
        DeleteTrimCandidate(index, *oldest, result);
    }
    return result;
}

void DeleteTrimCandidate(const TrimIndex& index, const TrimCandidate& candidate, TrimResult& result)
{
    // A file held open by the proxy, read-only or not ours stays, and still counts.
    if (DeleteFileW(TrimCandidatePath(index, candidate).c_str())) {
        result.BytesAfter -= candidate.Size;
        ++result.FilesDeleted;
    } else {
        ++result.FilesNotDeleted;
    }
}
