#include "proxy/stop.h"

#include "proxy/writeout.h"

namespace {

constexpr DWORD WRITEOUT_TIMEOUT_MS = 1000;
constexpr DWORD CLOSE_TIMEOUT_MS = 5000;
// TerminateProcess only starts the end; the port and the log are free once the process is gone.
// What a stop keeps back for that from its earlier waits.
constexpr DWORD TERMINATE_TIMEOUT_MS = 1000;
constexpr DWORD TERMINATE_RESERVE_MS = 300;

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

// What is left of timeoutMs since start, less keep (never below 0); GetTickCount wraps, the
// difference does not.
DWORD Left(DWORD start, DWORD timeoutMs, DWORD keep = 0)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed + keep >= timeoutMs ? 0 : timeoutMs - elapsed - keep;
}

DWORD AtMost(DWORD a, DWORD b)
{
    return a < b ? a : b;
}

}  // namespace

void StopProxy(PROCESS_INFORMATION& process, const ProxyAddress& address, DWORD timeoutMs)
{
    if (!process.hProcess)
        return;
    DWORD start = GetTickCount();
    if (Running(process.hProcess)) {
        // What the proxy fetched lately may still be in memory only; an abrupt end loses it.
        DWORD writeOut = AtMost(WRITEOUT_TIMEOUT_MS, Left(start, timeoutMs, TERMINATE_RESERVE_MS));
        if (writeOut > 0)
            AskProxyToWriteOut(address, writeOut);
        CloseRequest request{process.dwProcessId, false};
        EnumWindows(CloseFirstProxyWindow, reinterpret_cast<LPARAM>(&request));
        DWORD grace = request.Posted ? AtMost(CLOSE_TIMEOUT_MS, Left(start, timeoutMs, TERMINATE_RESERVE_MS)) : 0;
        if (WaitForSingleObject(process.hProcess, grace) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, AtMost(TERMINATE_TIMEOUT_MS, Left(start, timeoutMs)));
        }
    }
    CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    // Nothing may wait on, terminate or close a handle that is no longer ours.
    process = PROCESS_INFORMATION{};
}
