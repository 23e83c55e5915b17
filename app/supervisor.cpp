#include "app/supervisor.h"

#include "app/app_state.h"
#include "app/messages.h"
#include "app/proxy_control.h"
#include "app/resources/resource.h"
#include "app/system_proxy.h"
#include "app/tray.h"
#include "proxy/launch.h"

namespace {

// Ends within this long of their start count towards giving up.
constexpr DWORD QUICK_END_MS = 60000;
constexpr int QUICK_ENDS_TO_GIVE_UP = 3;
// A proxy that ran this long without trouble starts the pauses from one second again.
constexpr DWORD STEADY_RUN_MS = 10 * 60000;
constexpr DWORD LONGEST_PAUSE_S = 60;
// A restart due while one of kelvor's message boxes is up waits that long again.
constexpr DWORD BUSY_RETRY_MS = 1000;
// The proxy's own last line says most; a balloon has room for little more than that and kelvor's
// sentence.
constexpr int REASON_LINES = 1;
constexpr size_t BALLOON_TEXT_LIMIT = 255;
constexpr UINT PROXY_CHECK_MS = 1000;

VOID CALLBACK ProxyEnded(PVOID context, BOOLEAN)
{
    // A thread-pool thread: the main window does the work.
    PostMessageW(App.MainWindow, WM_PROXYENDED, static_cast<WPARAM>(reinterpret_cast<ULONG_PTR>(context)), 0);
}

DWORD PauseSeconds(int restarts)
{
    DWORD pause = 1;
    for (int i = 1; i < restarts && pause < LONGEST_PAUSE_S; ++i)
        pause *= 2;
    return pause < LONGEST_PAUSE_S ? pause : LONGEST_PAUSE_S;
}

// What the proxy said last, from its own output or else its log.
std::wstring LastWords()
{
    std::wstring words = LastLinesOf(App.ProgramDir + PROXY_OUTPUT_FILE, REASON_LINES);
    if (words.empty())
        words = LastLinesOf(App.ProgramDir + L"polipo.log", REASON_LINES);
    return words;
}

void GiveUp(HWND window)
{
    App.Supervision = ProxyState::Stopped;
    UpdateTrayIcon(window);
    std::wstring text = LeadWithin(LastWords(), FillIn(LoadText(IDS_PROXY_GAVE_UP), {App.ProxyEndReason}),
                                   BALLOON_TEXT_LIMIT);
    ShowBalloon(window, LoadText(IDS_PROXY_STOPPED_TITLE), text, true);
    SystemProxyFollowsProxy(window, false);
}

// One more end of the proxy, for reason: start it again after a pause, or give up.
void CountEnd(HWND window, DWORD ranMs, const std::wstring& reason)
{
    App.ProxyEndReason = reason;
    App.QuickEnds = ranMs < QUICK_END_MS ? App.QuickEnds + 1 : 0;
    if (ranMs >= STEADY_RUN_MS)
        App.Restarts = 0;
    if (App.QuickEnds >= QUICK_ENDS_TO_GIVE_UP) {
        GiveUp(window);
        return;
    }
    ++App.Restarts;
    App.RestartPauseS = PauseSeconds(App.Restarts);
    App.Supervision = ProxyState::StartingAgain;
    SetTimer(window, RESTART_TIMER_ID, App.RestartPauseS * 1000, nullptr);
    UpdateTrayIcon(window);
}

}  // namespace

void WatchProxy(HWND window)
{
    App.ProxyStartTick = GetTickCount();
    App.Supervision = ProxyState::Running;
    HANDLE wait = nullptr;
    if (RegisterWaitForSingleObject(&wait, App.ProxyProcess.hProcess, ProxyEnded,
                                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(App.ProxyProcess.dwProcessId)),
                                    INFINITE, WT_EXECUTEONLYONCE)) {
        App.ProxyWait = wait;
    } else {
        // Unwatched, an end would go unnoticed and the tip would say "running" for ever.
        DWORD error = GetLastError();
        if (!App.ProxyPolled)
            ShowBalloon(window, App.AppName, FillIn(LoadText(IDS_PROXY_NOT_WATCHED), {SystemReason(error)}), true);
        App.ProxyPolled = true;
        SetTimer(window, PROXY_CHECK_TIMER_ID, PROXY_CHECK_MS, nullptr);
    }
    UpdateTrayIcon(window);
    SystemProxyFollowsProxy(window, true);
}

void StopWatchingProxy()
{
    KillTimer(App.MainWindow, PROXY_CHECK_TIMER_ID);
    if (App.ProxyWait) {
        // Waits for a callback under way, so none runs after this.
        UnregisterWaitEx(App.ProxyWait, INVALID_HANDLE_VALUE);
        App.ProxyWait = nullptr;
    }
}

void ResetSupervision(HWND window)
{
    KillTimer(window, RESTART_TIMER_ID);
    App.QuickEnds = 0;
    App.Restarts = 0;
    App.ProxyEndReason.clear();
}

void ProxyNotStarted(HWND window, DWORD error)
{
    KillTimer(window, RESTART_TIMER_ID);
    App.ProxyEndReason = BootFailureText(error);
    App.Supervision = ProxyState::Stopped;
    UpdateTrayIcon(window);
    SystemProxyFollowsProxy(window, false);
}

void OnProxyEnded(HWND window, DWORD processId)
{
    // A word about a proxy that kelvor has since stopped or replaced.
    if (!App.ProxyProcess.hProcess || App.ProxyProcess.dwProcessId != processId ||
        WaitForSingleObject(App.ProxyProcess.hProcess, 0) != WAIT_OBJECT_0)
        return;
    StopWatchingProxy();
    DWORD exitCode = 0;
    GetExitCodeProcess(App.ProxyProcess.hProcess, &exitCode);
    CloseHandle(App.ProxyProcess.hProcess);
    App.ProxyProcess = PROCESS_INFORMATION{};
    if (App.Ending)
        return;
    CountEnd(window, GetTickCount() - App.ProxyStartTick,
             FillIn(LoadText(IDS_PROXY_EXIT_CODE), {std::to_wstring(static_cast<long>(exitCode))}));
}

void OnProxyCheckTimer(HWND window)
{
    if (App.ProxyProcess.hProcess && WaitForSingleObject(App.ProxyProcess.hProcess, 0) == WAIT_OBJECT_0)
        OnProxyEnded(window, App.ProxyProcess.dwProcessId);
}

void OnRestartTimer(HWND window)
{
    KillTimer(window, RESTART_TIMER_ID);
    if (App.Ending || App.Supervision != ProxyState::StartingAgain || App.ProxyProcess.hProcess)
        return;
    // Nothing touches the proxy while the user reads one of kelvor's messages.
    if (App.OpenMessageBoxes > 0) {
        SetTimer(window, RESTART_TIMER_ID, BUSY_RETRY_MS, nullptr);
        return;
    }
    // The same start as every other, so the restarted proxy caches where the first one did.
    DWORD error = ERROR_SUCCESS;
    if (!LaunchSupervisedProxy(nullptr, error))
        CountEnd(window, 0, BootFailureText(error));
}
