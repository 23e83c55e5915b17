#include "cache/purge.h"

TrimResult PurgeOldFiles(const std::wstring& directory, uint64_t cutoff, const std::atomic<bool>* cancel)
{
    return DeleteOldestWhile(directory, cancel, [cutoff](const TrimResult&, const TrimCandidate& oldest) {
        return oldest.LastUse < cutoff;
    });
}
