#include "proxy/stop.h"

#include "app/app_state.h"
#include "proxy/launch.h"

namespace {

constexpr DWORD CLOSE_TIMEOUT_MS = 5000;
// TerminateProcess only starts the end; the port and the log are free once the process is gone.
constexpr DWORD TERMINATE_TIMEOUT_MS = 1000;
// Lets the old proxy release its listening port before the new one binds it.
constexpr DWORD RESTART_PAUSE_MS = 100;

BOOL CALLBACK CloseFirstProxyWindow(HWND window, LPARAM context)
{
    const auto* proxy = reinterpret_cast<const PROCESS_INFORMATION*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != proxy->dwProcessId)
        return TRUE;
    // Posted, not sent: a proxy that hangs must not hang us with it.
    PostMessageW(window, WM_CLOSE, 0, 0);
    return FALSE;
}

}  // namespace

void StopProxy()
{
    if (!App.ProxyProcess.hProcess)
        return;
    EnumWindows(CloseFirstProxyWindow, reinterpret_cast<LPARAM>(&App.ProxyProcess));
    if (WaitForSingleObject(App.ProxyProcess.hProcess, CLOSE_TIMEOUT_MS) == WAIT_TIMEOUT) {
        TerminateProcess(App.ProxyProcess.hProcess, 0);
        WaitForSingleObject(App.ProxyProcess.hProcess, TERMINATE_TIMEOUT_MS);
    }
    CloseHandle(App.ProxyProcess.hProcess);
    // Nothing may wait on, terminate or close a handle that is no longer ours.
    App.ProxyProcess = PROCESS_INFORMATION{};
}

bool RelaunchProxy(HWND owner)
{
    StopProxy();
    Sleep(RESTART_PAUSE_MS);
    return LaunchProxy(owner, false);
}

void RestartProxy(HWND owner)
{
    if (!RelaunchProxy(owner))
        DestroyWindow(owner);
}
