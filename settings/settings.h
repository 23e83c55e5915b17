// kelvor.ini beside the executable: the cache directory, the cache size and the trim period.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The one section of the settings file. Fixed, so a translated program name reads the same file.
constexpr wchar_t SETTINGS_SECTION[] = L"kelvor";

// A value in the file that was not used, as it was written there.
struct UnusableValue {
    std::wstring Key;
    std::wstring Text;
};

struct Settings {
    std::wstring CacheDir;       // as written: may be relative to the program folder
    int CacheSizeMB = 200;       // megabytes of 1,048,576 bytes; 0 or below: no trimming
    int TrimIntervalMin = 120;   // minutes between trim passes
    bool SystemProxy = false;    // "system proxy=1": the system's proxy settings point at kelvor's
    bool Offline = false;        // "offline=1": the proxy serves from its cache alone
    std::wstring File;           // the file these came from; empty when none was there
    bool FromLegacyFile = false; // read from polipo.ini, kelvor.ini being absent
    bool CacheDirCut = false;    // the cache dir was longer than anything kelvor reads
    bool Unreadable = false;     // File is text in a form kelvor cannot read: the defaults hold
    std::vector<UnusableValue> Unusable;
};

// text without the blanks around it, as the profile functions give a value back; blanks around a
// folder name are never part of it.
std::wstring WithoutBlanks(const std::wstring& text);

// A folder as the user typed or pasted it: without the blanks around it and without one pair of
// quotes around it, as Explorer's "Copy as path" gives it.
std::wstring FolderAsTyped(const std::wstring& text);

// The settings in programDir's kelvor.ini, or in the older polipo.ini when kelvor.ini is absent,
// or the defaults (the cache folder beside the program). programDir ends in a backslash. Never
// creates a file. A size that is no whole number switches trimming off, an interval that is no
// whole number of 1 to 35,791 minutes means 120 minutes; both are listed in Unusable. A file
// that is neither ANSI, UTF-8 nor UTF-16 is not read: Unreadable, with the defaults. A file
// without a byte-order mark is UTF-8 when it is valid UTF-8 and holds bytes above 0x7F (as
// Notepad saves it), ANSI otherwise.
Settings LoadSettings(const std::wstring& programDir);

// Writes "cache dir" and "cache size" to programDir's kelvor.ini, never in place: a new file
// beside it takes the change and is then moved over it, so a failure at any point leaves the
// old file as it was. A kelvor.ini that does not exist yet is created as UTF-16, a UTF-8 one is
// made UTF-16, and an ANSI one too when the folder has characters its code page lacks, so that
// every character of a folder name survives; after a load from polipo.ini the new file first
// gets every key of that one. False, with the system's error code in error, when the file could
// not be written or would not give the folder back; ERROR_UNSUPPORTED_TYPE for a file in a form
// kelvor cannot read, which is left alone.
bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error);

// Writes "system proxy" (1 or 0) to programDir's kelvor.ini, creating the file as SaveSettings
// does. False, with the system's error code, when it could not be written.
bool SaveSystemProxyChoice(const std::wstring& programDir, const Settings& settings, bool on, DWORD& error);

// Writes "offline" (1 or 0) the same way.
bool SaveOfflineChoice(const std::wstring& programDir, const Settings& settings, bool on, DWORD& error);
