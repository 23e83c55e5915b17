#include "cache/purge.h"

#include "cache/trim_rules.h"

TrimResult PurgeOldFiles(const std::wstring& directory, uint64_t cutoff, const std::atomic<bool>* cancel)
{
    TrimResult result;
    std::wstring root = CacheRootForPass(directory);
    if (root.empty())
        return result;

    TrimIndex index;
    result.BytesBefore = result.BytesAfter = ScanCacheDir(root, index, cancel);
    result.FilesSeen = index.Count;
    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (const TrimCandidate* oldest = NextOldest(index, walk)) {
        if (oldest->AccessTime >= cutoff)
            break;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            result.Cancelled = true;
            break;
        }
        DeleteTrimCandidate(index, *oldest, result);
    }
    return result;
}
