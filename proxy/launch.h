// Starting the proxy program beside kelvor.exe.
#pragma once

#include <windows.h>

#include <string>

enum class ProxyMode {
    Serve,  // the proxy that kelvor supervises
    Purge,  // "-x": purges the cache and ends by itself
};

// Launches "polipo.exe" from programDir, hidden, with programDir as its working folder and
// cacheDir as its cache. True with process filled in: the process handle is the caller's to
// close, the thread handle is already closed. False with the system's error code in error.
bool LaunchProxy(const std::wstring& programDir, const std::wstring& cacheDir, ProxyMode mode,
                 PROCESS_INFORMATION& process, DWORD& error);
