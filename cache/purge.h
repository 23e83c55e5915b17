// Removing what the proxy has not used for a long time, as its own purge is meant to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "cache/trim.h"

// 32 days, the proxy's own age for unlinking old objects, in 100-ns file-time units.
constexpr uint64_t PURGE_AGE = 32ull * 24 * 60 * 60 * 10000000;

// Deletes every file of the proxy's under directory last used before cutoff (a file time),
// oldest first.
// The same folders are refused as by TrimCache; cancel, which may be null, ends it early.
TrimResult PurgeOldFiles(const std::wstring& directory, uint64_t cutoff, const std::atomic<bool>* cancel = nullptr);
