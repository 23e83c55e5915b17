#include "proxy/stop.h"

#include "proxy/writeout.h"

namespace {

constexpr DWORD WRITEOUT_TIMEOUT_MS = 1000;
// At the end of the session everything together must fit in two seconds.
constexpr DWORD QUICK_WRITEOUT_TIMEOUT_MS = 500;
constexpr DWORD CLOSE_TIMEOUT_MS = 5000;
// TerminateProcess only starts the end; the port and the log are free once the process is gone.
constexpr DWORD TERMINATE_TIMEOUT_MS = 1000;

struct CloseRequest {
    DWORD ProcessId;
    bool Posted;
};

BOOL CALLBACK CloseFirstProxyWindow(HWND window, LPARAM context)
{
    auto* request = reinterpret_cast<CloseRequest*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != request->ProcessId)
        return TRUE;
    // Posted, not sent: a proxy that hangs must not hang us with it.
    request->Posted = PostMessageW(window, WM_CLOSE, 0, 0) != FALSE;
    return FALSE;
}

bool Running(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

}  // namespace

void StopProxy(PROCESS_INFORMATION& process, bool quick)
{
    if (!process.hProcess)
        return;
    if (Running(process.hProcess)) {
        // What the proxy fetched lately may still be in memory only; an abrupt end loses it.
        AskProxyToWriteOut(quick ? QUICK_WRITEOUT_TIMEOUT_MS : WRITEOUT_TIMEOUT_MS);
        CloseRequest request{process.dwProcessId, false};
        EnumWindows(CloseFirstProxyWindow, reinterpret_cast<LPARAM>(&request));
        DWORD grace = request.Posted && !quick ? CLOSE_TIMEOUT_MS : 0;
        if (WaitForSingleObject(process.hProcess, grace) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, TERMINATE_TIMEOUT_MS);
        }
    }
    CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    // Nothing may wait on, terminate or close a handle that is no longer ours.
    process = PROCESS_INFORMATION{};
}
