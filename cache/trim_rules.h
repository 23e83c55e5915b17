// The numbers and guards of trimming, apart from any file or window.
#pragma once

#include <cstdint>
#include <string>

// The byte limit for a cache size in megabytes; 0 (no trimming) for 0 and for negative sizes,
// which would otherwise ask for every file to go.
int64_t TrimLimitBytes(int cacheSizeMB);

// The trim timer's period: 120 minutes for 0 or below, at most 35,791 minutes, the longest
// period a window timer takes.
unsigned TrimPeriodMs(int trimIntervalMin);

// True for the root of a drive or of a network share, however written ("C:", "C:\", "C:/",
// "\\server\share\", "\\?\C:\", "\\?\Volume{...}\", "\"): a cache there would be the whole disk.
bool IsVolumeRoot(const std::wstring& path);

// The path as the file system resolves it, however long ("C:\cache\.." is "C:\"); the path
// itself when it cannot be resolved.
std::wstring FullPathOf(const std::wstring& path);

// path without separators at its end, except for the one that makes "C:\" a root.
std::wstring WithoutTrailingSeparator(const std::wstring& path);

// True when inner is outer itself or lies anywhere inside it, compared as Windows compares file
// names (without regard to case). Both are full paths.
bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer);

// The "\\?\" form of a full path, which file functions take beyond MAX_PATH characters:
// "C:\a" gives "\\?\C:\a", "\\server\share\a" gives "\\?\UNC\server\share\a". Other paths,
// and paths already in that form, are returned as they are.
std::wstring LongPathForm(const std::wstring& fullPath);
