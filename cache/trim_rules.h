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
// "\\server\share\", "\\?\C:\", "\"): a cache there would be the whole disk.
bool IsVolumeRoot(const std::wstring& path);
