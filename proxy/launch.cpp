#include "proxy/launch.h"

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/resources/resource.h"
#include "proxy/command_line.h"

void ShowBootFailure(HWND owner, DWORD error)
{
    wchar_t format[100] = L"";
    wchar_t message[100] = L"";
    LoadStringW(App.Instance, IDS_BOOT_FAILED, format, 100);
    wsprintfW(message, format, static_cast<int>(error));
    MessageBoxW(owner, message, App.AppName, MB_OK);
}

bool LaunchProxy(HWND owner, bool purge)
{
    std::wstring line = ProxyCommandLine(App.ProgramDir, App.CacheDir, purge);
    // CreateProcessW may write into the command line, so it gets a copy it owns.
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');

    if (!purge)
        App.ProxyProcess = PROCESS_INFORMATION{};

    PROCESS_INFORMATION process{};
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;

    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        App.ProgramDir, &startup, &process)) {
        ShowBootFailure(owner, GetLastError());
        return false;
    }

    CloseHandle(process.hThread);
    process.hThread = nullptr;
    if (purge) {
        CloseHandle(process.hProcess);
        return true;
    }
    // The process handle stays open until the proxy is stopped.
    App.ProxyProcess = process;
    return true;
}

void StartProxy(HWND owner, bool purge)
{
    if (!LaunchProxy(owner, purge) && !purge)
        DestroyWindow(owner);
}
