#include "app/control/supervised_proxy.h"

#include "app/control/system_proxy.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/window_ids.h"
#include "app/ui/messages.h"
#include "app/ui/tray.h"
#include "cache/cache_folder.h"
#include "proxy/launch.h"
#include "proxy/orphan.h"
#include "proxy/readable_path.h"

namespace {

// Lets the old proxy release its listening port before the new one binds it.
constexpr DWORD RESTART_PAUSE_MS = 100;
// A proxy left behind is ended within this, so that its successor serves within 2 s of the start.
constexpr DWORD LEFT_PROXY_STOP_MS = 1000;

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

// A folder that kelvor may not trim would fill without limit: the proxy gets none, as for an
// unset variable, which the start-up message says.
bool ProxyMayCache()
{
    return !App.CacheFolder.empty() && App.CacheVerdict == CacheDirVerdict::Trimmable;
}

// The proxy does not create its cache folder: without it, it runs with no disk cache at all.
// What to tell the user when the folder cannot be made and has not been told of; empty otherwise.
std::wstring MakeCacheFolder()
{
    DWORD error = ERROR_SUCCESS;
    if (!ProxyMayCache())
        return std::wstring();
    if (CreateCacheDir(App.CacheFolder, error)) {
        // One made only now is adopted as made: the passes walk this folder and no other.
        if (!App.CacheFolderIdKnown)
            App.CacheFolderIdKnown = IdentityOf(App.CacheFolder, App.CacheFolderId);
        return std::wstring();
    }
    if (App.CacheFolderReported == App.CacheFolder)
        return std::wstring();
    return FillIn(LoadText(IDS_CACHE_DIR_NOT_MADE), {App.CacheFolder, SystemReason(error)});
}

// The cache folder as the proxy is to be given it. A name the proxy would misread goes as its
// short name; with none, the proxy gets no folder at all rather than '?' or a look-alike of
// another folder, which would then fill without ever being trimmed. problem gets the word for
// the user, once for each folder.
std::wstring CacheFolderForProxy(std::wstring& problem)
{
    if (!ProxyMayCache())
        return std::wstring();
    std::wstring readable = ProxyReadablePath(App.CacheFolder);
    if (readable.empty() && problem.empty() && App.CacheFolderReported != App.CacheFolder) {
        problem = FillIn(LoadText(IDS_CACHE_DIR_UNREADABLE), {App.CacheFolder});
    }
    return readable;
}

}  // namespace

ProxyAddress SupervisedProxyAddress()
{
    return App.ProxyListens;
}

bool LaunchSupervisedProxy(HWND owner, DWORD& error)
{
    std::wstring problem = MakeCacheFolder();
    std::wstring cacheFolder = CacheFolderForProxy(problem);
    // Read once for this run of the proxy: a config edited meanwhile takes effect at the next
    // start, and until then the stop, the tip and the system proxy must name where it listens.
    ProxyConfig config = ReadProxyConfig(App.ProgramDir + L"config");
    App.ProxyListens = config.Address;
    // Every start of the proxy gets the choice: one started again never goes back online.
    if (!LaunchProxy(App.ProgramDir, cacheFolder, ProxyMode::Serve, App.ProxyProcess, error, App.Config.Offline))
        return false;
    WatchProxy(App.MainWindow);
    // Counted as said only now: a start that failed said something else, and the next one
    // must still tell of the folder.
    if (!problem.empty())
        App.CacheFolderReported = App.CacheFolder;
    if (!config.WriteOutRefusedBy.empty() && App.WriteOutRefusalSaid != config.WriteOutRefusedBy) {
        App.WriteOutRefusalSaid = config.WriteOutRefusedBy;
        problem += (problem.empty() ? L"" : L"\n\n") +
                   FillIn(LoadText(IDS_WRITEOUT_REFUSED), {App.ProgramDir + L"config", config.WriteOutRefusedBy});
    }
    // Said once the proxy runs: the user is not kept from it by the box.
    if (!problem.empty() && owner)
        ShowMessage(owner, problem);
    else if (!problem.empty())
        ShowBalloon(App.MainWindow, App.AppName, problem, true);
    return true;
}

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

bool StartProxy(HWND owner)
{
    DWORD error = ERROR_SUCCESS;
    if (LaunchSupervisedProxy(owner, error))
        return true;
    // The icon and tip say so until a Restart succeeds.
    ProxyNotStarted(App.MainWindow, error);
    ShowBootFailure(owner, error);
    return false;
}

void StopSupervisedProxy(DWORD timeoutMs)
{
    StopWatchingProxy();
    StopProxy(App.ProxyProcess, App.ProxyListens, timeoutMs);
}

bool RestartProxy(HWND owner)
{
    StopSupervisedProxy();
    ResetSupervision(App.MainWindow);
    Sleep(RESTART_PAUSE_MS);
    return StartProxy(owner);
}

bool EndLeftProxies(const std::vector<DWORD>& ids)
{
    bool gone = true;
    for (DWORD id : ids)
        gone = EndLeftProxy(id, SupervisedProxyAddress(), LEFT_PROXY_STOP_MS) && gone;
    Sleep(RESTART_PAUSE_MS);
    return gone;
}

void ShowBootFailure(HWND owner, DWORD error)
{
    ShowMessage(owner, BootFailureText(error));
}
