// One trim pass: scan the cache, then delete the proxy's files used longest ago until the rest
// fits the limit. Nothing else in the cache folder is counted or touched.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "cache/trim_index.h"

// What one pass did.
struct TrimResult {
    uint64_t FilesSeen = 0;        // the proxy's files
    uint64_t OtherFiles = 0;       // files that are not the proxy's, left alone
    int64_t BytesBefore = 0;
    int64_t BytesAfter = 0;
    uint64_t FilesDeleted = 0;
    uint64_t FilesNotDeleted = 0;  // chosen to go, but held open, read-only or not ours
    bool Cancelled = false;        // ended early on request; the counts cover what was done
    DWORD ListError = 0;           // the folder itself could not be listed: nothing is known of it
};

// Records every file of the proxy's under directory (a file named as the proxy names one, in a
// folder named as it names a server's, right below directory) in index, by its last use, and
// returns the sum of their sizes. Every other file is only counted, in otherFiles (which may be
// null). Links to directories are neither followed nor counted. Stops early, with what it has,
// once cancel (which may be null) is set. A directory that cannot be listed at all gives 0, and
// its system error in listError when that is given.
int64_t ScanCacheDir(const std::wstring& directory, TrimIndex& index,
                     const std::atomic<bool>* cancel = nullptr, DWORD* listError = nullptr,
                     uint64_t* otherFiles = nullptr);

// The folder a pass walks: directory as a full path in the long form, or empty when it is empty,
// the root of a volume, or a junction or link, which no pass walks.
std::wstring CacheRootForPass(const std::wstring& directory);

// Scans directory (refused as by CacheRootForPass) and deletes the proxy's files there, the one
// used longest ago first, for as long as more says so of what was done so far and of the next
// oldest file. cancel, which may be null, is looked at between folders and between deletions:
// once set, the pass ends there.
TrimResult DeleteOldestWhile(const std::wstring& directory, const std::atomic<bool>* cancel,
                             const std::function<bool(const TrimResult&, const TrimCandidate&)>& more);

// One pass over directory with an index of its own. A limit of 0 or below trims nothing, and
// neither does a directory that is empty or the root of a volume. cancel, which may be null, is
// looked at between folders and between deletions: once set, the pass ends there.
TrimResult TrimCache(const std::wstring& directory, int64_t limit,
                     const std::atomic<bool>* cancel = nullptr);
