#include "proxy/launch.h"

#include <vector>

#include "proxy/command_line.h"

bool LaunchProxy(const std::wstring& programDir, const std::wstring& cacheDir, ProxyMode mode,
                 PROCESS_INFORMATION& process, DWORD& error)
{
    process = PROCESS_INFORMATION{};
    std::wstring line = ProxyCommandLine(programDir, cacheDir, mode == ProxyMode::Purge);
    // CreateProcessW may write into the command line, so it gets a copy it owns.
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        programDir.c_str(), &startup, &started)) {
        error = GetLastError();
        return false;
    }
    CloseHandle(started.hThread);
    started.hThread = nullptr;
    process = started;
    error = ERROR_SUCCESS;
    return true;
}
