// Starting the proxy program beside kelvor.exe.
#pragma once

#include <windows.h>

#include <string>

enum class ProxyMode {
    Serve,  // the proxy that kelvor supervises
    Purge,  // "-x": purges the cache and ends by itself
};

// Where the proxy's own output goes, beside its log: what it says before its log is open (a
// missing config, say) would otherwise be lost.
constexpr wchar_t PROXY_OUTPUT_FILE[] = L"polipo-output.log";

// The proxy appends to its log and never shortens it: before each launch to serve, a log over
// LOG_LIMIT_BYTES is renamed to this, replacing an older one, so that the two never hold much
// more than twice the limit plus a day's lines.
constexpr wchar_t PROXY_OLD_LOG_FILE[] = L"polipo.log.old";
constexpr LONGLONG LOG_LIMIT_BYTES = 1 << 20;

// Renames programDir's polipo.log to PROXY_OLD_LOG_FILE when it is over LOG_LIMIT_BYTES. A
// rename that fails (the log is held open, say) changes nothing.
void SetLongLogAside(const std::wstring& programDir);

// CreateProcessW (no process or thread attributes, no creation flags) of commandLine, tried
// again twice, 200 ms apart, when it fails for a reason that may pass: Wine now and then loses
// a new process while setting it up. GetLastError() then tells of the last try.
BOOL StartProcess(const wchar_t* application, const std::wstring& commandLine, BOOL inheritHandles,
                  const wchar_t* directory, STARTUPINFOW& startup, PROCESS_INFORMATION& started);

// Launches "polipo.exe" from programDir, hidden, with programDir as its working folder and
// cacheDir as its cache, serving from that cache alone when offline. In Serve mode a long log
// is set aside first (SetLongLogAside), and its output replaces what PROXY_OUTPUT_FILE held.
// True with process filled in: the process handle is the caller's to close, the thread handle
// is already closed. False with the system's error code in error.
bool LaunchProxy(const std::wstring& programDir, const std::wstring& cacheDir, ProxyMode mode,
                 PROCESS_INFORMATION& process, DWORD& error, bool offline = false);

// The last count lines of a text file (UTF-8 or the ANSI code page), joined by newlines; empty
// when there is no such file.
std::wstring LastLinesOf(const std::wstring& path, int count);
