// kelvor.ini beside the executable: the cache directory, the cache size and the trim period.
#pragma once

#include <windows.h>

#include <string>

// The one section of the settings file. Fixed, so a translated program name reads the same file.
constexpr wchar_t SETTINGS_SECTION[] = L"kelvor";

struct Settings {
    std::wstring CacheDir;
    int CacheSizeMB = 200;       // megabytes of 1,048,576 bytes; 0 or below: no trimming
    int TrimIntervalMin = 120;   // minutes between trim passes
};

// The settings in programDir's kelvor.ini, or in the older polipo.ini when kelvor.ini is absent,
// or the defaults (the cache folder beside the program). programDir ends in a backslash. Never
// creates a file.
Settings LoadSettings(const std::wstring& programDir);

// Writes "cache dir" and "cache size" to programDir's kelvor.ini. False, with the system's error
// code in error, when the file could not be written.
bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error);
