#include "app/proxy_control.h"

#include "app/app_state.h"
#include "app/messages.h"
#include "app/resources/resource.h"
#include "app/settings_problems.h"
#include "app/supervisor.h"
#include "app/tray.h"
#include "app/trim_schedule.h"
#include "proxy/launch.h"
#include "proxy/orphan.h"
#include "proxy/readable_path.h"

namespace {

// Lets the old proxy release its listening port before the new one binds it.
constexpr DWORD RESTART_PAUSE_MS = 100;
// A proxy left behind is ended within this, so that its successor serves within 2 s of the start.
constexpr DWORD LEFT_PROXY_STOP_MS = 1000;

}  // namespace

void ShowBootFailure(HWND owner, DWORD error)
{
    ShowMessage(owner, BootFailureText(error));
}

// The proxy does not create its cache folder: without it, it runs with no disk cache at all.
// What to tell the user when the folder cannot be made and has not been told of; empty otherwise.
std::wstring MakeCacheFolder()
{
    DWORD error = ERROR_SUCCESS;
    if (App.CacheFolder.empty() || CreateCacheDir(App.CacheFolder, error) || App.CacheFolderReported == App.CacheFolder)
        return std::wstring();
    return FillIn(LoadText(IDS_CACHE_DIR_NOT_MADE), {App.CacheFolder, SystemReason(error)});
}

// The cache folder as the proxy is to be given it. A name the proxy would misread goes as its
// short name; with none, the proxy gets no folder at all rather than '?' or a look-alike of
// another folder, which would then fill without ever being trimmed. problem gets the word for
// the user, once for each folder.
std::wstring CacheFolderForProxy(std::wstring& problem)
{
    if (App.CacheFolder.empty())
        return std::wstring();
    std::wstring readable = ProxyReadablePath(App.CacheFolder);
    if (readable.empty() && problem.empty() && App.CacheFolderReported != App.CacheFolder) {
        problem = FillIn(LoadText(IDS_CACHE_DIR_UNREADABLE), {App.CacheFolder});
    }
    return readable;
}

bool LaunchSupervisedProxy(HWND owner, DWORD& error)
{
    std::wstring problem = MakeCacheFolder();
    std::wstring cacheFolder = CacheFolderForProxy(problem);
    if (!LaunchProxy(App.ProgramDir, cacheFolder, ProxyMode::Serve, App.ProxyProcess, error))
        return false;
    WatchProxy(App.MainWindow);
    // Counted as said only now: a start that failed said something else, and the next one
    // must still tell of the folder.
    if (!problem.empty())
        App.CacheFolderReported = App.CacheFolder;
    // Said once the proxy runs: the user is not kept from it by the box.
    if (!problem.empty() && owner)
        ShowMessage(owner, problem);
    else if (!problem.empty())
        ShowBalloon(App.MainWindow, App.AppName, problem, true);
    return true;
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

ProxyAddress SupervisedProxyAddress()
{
    return ReadProxyAddress(App.ProgramDir + L"config");
}

void StopSupervisedProxy(DWORD timeoutMs)
{
    StopWatchingProxy();
    StopProxy(App.ProxyProcess, SupervisedProxyAddress(), timeoutMs);
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

void PurgeCache(HWND owner)
{
    // A folder kelvor may not trim is not purged either, not even by the proxy's own purge.
    std::wstring refused = CacheDirProblemText(App.CacheVerdict, App.CacheFolder, App.CacheVerdictFolder);
    if (!refused.empty()) {
        ShowMessage(owner, refused + L" " + LoadText(IDS_NOTHING_PURGED));
        return;
    }
    PROCESS_INFORMATION purge{};
    DWORD error = ERROR_SUCCESS;
    // A folder the proxy cannot read was named when the proxy started.
    if (!LaunchProxy(App.ProgramDir, ProxyReadablePath(App.CacheFolder), ProxyMode::Purge, purge, error)) {
        ShowBootFailure(owner, error);
        return;
    }
    // Its Windows build removes nothing: once it is done, kelvor removes what it would have.
    SweepAfterPurge(owner, purge.hProcess);
}
