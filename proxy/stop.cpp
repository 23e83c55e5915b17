#include "proxy/stop.h"

namespace {

constexpr DWORD CLOSE_TIMEOUT_MS = 5000;
// TerminateProcess only starts the end; the port and the log are free once the process is gone.
constexpr DWORD TERMINATE_TIMEOUT_MS = 1000;

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

void StopProxy(PROCESS_INFORMATION& process)
{
    if (!process.hProcess)
        return;
    EnumWindows(CloseFirstProxyWindow, reinterpret_cast<LPARAM>(&process));
    if (WaitForSingleObject(process.hProcess, CLOSE_TIMEOUT_MS) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, TERMINATE_TIMEOUT_MS);
    }
    CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    // Nothing may wait on, terminate or close a handle that is no longer ours.
    process = PROCESS_INFORMATION{};
}
