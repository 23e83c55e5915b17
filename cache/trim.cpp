#include <windows.h>

#include "cache/trim.h"
#include "cache/trim_rules.h"

namespace {

bool Requested(const std::atomic<bool>* cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

bool IsGone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::wstring CacheRootForPass(const std::wstring& directory)
{
    if (directory.empty() || IsVolumeRoot(directory))
        return std::wstring();
    std::wstring full = WithoutTrailingSeparator(FullPathOf(directory));
    if (IsVolumeRoot(full))
        return std::wstring();
    // A junction or link put in the folder's place may lead anywhere.
    DWORD attributes = GetFileAttributesW(LongPathForm(full).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return std::wstring();
    // In the long form every path below the root can be listed and deleted, however deep.
    return LongPathForm(full);
}

TrimResult DeleteOldestWhile(const std::wstring& directory, const std::atomic<bool>* cancel,
                             const std::function<bool(const TrimResult&, const TrimCandidate&)>& more)
{
    TrimResult result;
    std::wstring root = CacheRootForPass(directory);
    if (root.empty())
        return result;

    TrimIndex index;
    result.BytesBefore = result.BytesAfter =
        ScanCacheDir(root, index, cancel, &result.ListError, &result.OtherFiles);
    result.FilesSeen = index.Count;
    // A scan cut short has not seen every file: what it did see is not the oldest for sure.
    if (Requested(cancel)) {
        result.Cancelled = true;
        return result;
    }

    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (const TrimCandidate* oldest = NextOldest(index, walk)) {
        if (!more(result, *oldest))
            break;
        if (Requested(cancel)) {
            result.Cancelled = true;
            break;
        }
        if (DeleteFileW(TrimCandidatePath(index, *oldest).c_str())) {
            result.BytesAfter -= oldest->Size;
            ++result.FilesDeleted;
        } else if (IsGone(GetLastError())) {
            // The proxy, a purge or another program removed it since the scan: its bytes are
            // free already, and nothing stayed that should have gone.
            result.BytesAfter -= oldest->Size;
        } else {
            // A file held open by the proxy, read-only or not ours stays, and still counts.
            ++result.FilesNotDeleted;
        }
    }
    return result;
}

TrimResult TrimCache(const std::wstring& directory, int64_t limit, const std::atomic<bool>* cancel)
{
    if (limit <= 0)
        return TrimResult();
    return DeleteOldestWhile(directory, cancel, [limit](const TrimResult& sofar, const TrimCandidate&) {
        return sofar.BytesAfter > limit;
    });
}
