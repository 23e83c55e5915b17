// One trim pass: scan the cache, then delete the files accessed longest ago until the rest
// fits the limit.
#pragma once

#include <cstdint>
#include <string>

#include "cache/trim_index.h"

// Records every file under directory in index and returns the sum of their sizes. Links to
// directories are neither followed nor counted.
int64_t ScanCacheDir(const std::wstring& directory, TrimIndex& index);

// One pass over directory with the index in AppState. A limit of 0 or below trims nothing, and
// neither does a directory that is empty or the root of a volume.
void TrimCache(const std::wstring& directory, int64_t limit);
