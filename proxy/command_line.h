// The proxy's command line, built from plain values so that it can be read and tested alone.
#pragma once

#include <string>

// Replaces every occurrence of pattern, left to right, resuming behind each replacement, so a
// replacement that contains the pattern is not examined again. An empty pattern changes nothing.
std::wstring& ReplaceAll(std::wstring& target, std::wstring pattern, std::wstring replacement);

// The proxy's path syntax: forward slashes, and a backslash before each space.
std::wstring EscapeCachePath(const std::wstring& directory);

// "<programDir>polipo.exe" [-x] -c config diskCacheRoot="\"<cache>\"" logFile=polipo.log
// [proxyOffline=true]
std::wstring ProxyCommandLine(const std::wstring& programDir, const std::wstring& cacheDir,
                              bool purge, bool offline = false);
