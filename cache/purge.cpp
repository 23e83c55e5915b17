#include "cache/purge.h"

#include <windows.h>

#include "cache/trim_rules.h"

TrimResult PurgeOldFiles(const std::wstring& directory, uint64_t cutoff, const std::atomic<bool>* cancel)
{
    TrimResult result;
    std::wstring root = CacheRootForPass(directory);
    if (root.empty())
        return result;

    TrimIndex index;
    int64_t total = ScanCacheDir(root, index, cancel);
    result.FilesSeen = index.Count;
    result.BytesBefore = total;
    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (const TrimCandidate* oldest = NextOldest(index, walk)) {
        if (oldest->AccessTime >= cutoff)
            break;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            result.Cancelled = true;
            break;
        }
        if (DeleteFileW(TrimCandidatePath(index, *oldest).c_str())) {
            total -= oldest->Size;
            ++result.FilesDeleted;
        } else {
            ++result.FilesNotDeleted;
        }
    }
    result.BytesAfter = total;
    return result;
}
