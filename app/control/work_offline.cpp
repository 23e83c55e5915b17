#include "app/control/work_offline.h"

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/window_ids.h"
#include "app/ui/messages.h"
#include "app/ui/tray.h"
#include "proxy/offline.h"

namespace {

// The form and the status page together: the user waits no longer for the item's check.
constexpr DWORD SWITCH_TIMEOUT_MS = 1000;

DWORD WINAPI RunOfflineJob(void* context)
{
    auto* job = static_cast<OfflineJob*>(context);
    job->Result = SetProxyOffline(job->Address, job->Offline, SWITCH_TIMEOUT_MS);
    PostMessageW(job->Window, WM_OFFLINESWITCHED, 0, 0);
    return 0;
}

bool ProxyServes()
{
    return App.Supervision == ProxyState::Running && App.ProxyProcess.hProcess;
}

// Keeps the choice; what went wrong when it could not be kept, with the file and the reason.
std::wstring KeepChoice(bool on)
{
    DWORD error = ERROR_SUCCESS;
    if (SaveOfflineChoice(App.ProgramDir, App.Config, on, error))
        return std::wstring();
    return FillIn(LoadText(IDS_SAVE_FAILED), {App.ProgramDir + L"kelvor.ini", SystemReason(error)});
}

// "403 Action not allowed"
std::wstring StatusText(const OfflineResult& result)
{
    std::wstring text = std::to_wstring(result.Status);
    if (!result.Reason.empty())
        text += L" ";
    for (unsigned char c : result.Reason)
        text += static_cast<wchar_t>(c);
    return text;
}

// Why the switch did not happen, in the user's words.
std::wstring Failure(const OfflineJob& job)
{
    std::wstring proxy = HostAndPort(job.Address);
    if (App.ProxyProcess.dwProcessId != job.ProxyId || !ProxyServes())
        return LoadText(IDS_OFFLINE_PROXY_ENDED);
    switch (job.Result.Outcome) {
    case OfflineOutcome::Refused:
        return FillIn(LoadText(IDS_OFFLINE_REFUSED), {proxy, StatusText(job.Result), App.ProgramDir + L"config"});
    case OfflineOutcome::Unexpected:
        return FillIn(LoadText(IDS_OFFLINE_ANSWERED), {proxy, StatusText(job.Result)});
    case OfflineOutcome::Unconfirmed:
        return FillIn(LoadText(IDS_OFFLINE_UNCONFIRMED), {proxy});
    case OfflineOutcome::NoAnswer:
    case OfflineOutcome::Done:
        break;
    }
    return FillIn(LoadText(IDS_OFFLINE_NO_ANSWER), {proxy});
}

void FinishSwitch()
{
    CloseHandle(App.OfflineThread);
    App.OfflineThread = nullptr;
    App.RunningSwitch.reset();
}

// The switch's answer: the choice when the proxy took it; otherwise the choice goes back to what
// the running proxy does, kept again, or the next start would do otherwise, and, with tell, the
// user is told why.
void SettleSwitch(HWND window, bool tell)
{
    const OfflineJob& job = *App.RunningSwitch;
    if (job.Result.Outcome == OfflineOutcome::Done && App.ProxyProcess.dwProcessId == job.ProxyId && ProxyServes()) {
        App.Config.Offline = job.Offline;
        FinishSwitch();
        UpdateTrayIcon(window);
        return;
    }
    std::wstring text = FillIn(LoadText(job.Offline ? IDS_OFFLINE_NOT_ON : IDS_OFFLINE_NOT_OFF), {Failure(job)});
    std::wstring undone = KeepChoice(App.Config.Offline);
    FinishSwitch();
    if (tell)
        ShowMessage(window, undone.empty() ? text : text + L"\n\n" + undone);
}

}  // namespace

void ToggleWorkOffline(HWND window)
{
    if (App.RunningSwitch)
        return;
    bool on = !App.Config.Offline;
    // Kept before the proxy is asked: a proxy started again meanwhile, or a kelvor that ends
    // now, never goes back to what the user has just turned away from.
    std::wstring notKept = KeepChoice(on);
    if (!notKept.empty()) {
        ShowMessage(window, notKept);
        return;
    }
    // No proxy to ask: the next start gets the choice on its command line.
    if (!ProxyServes()) {
        App.Config.Offline = on;
        UpdateTrayIcon(window);
        return;
    }
    auto job = std::make_unique<OfflineJob>();
    job->Window = window;
    job->Address = App.ProxyListens;
    job->Offline = on;
    job->ProxyId = App.ProxyProcess.dwProcessId;
    HANDLE thread = CreateThread(nullptr, 0, RunOfflineJob, job.get(), 0, nullptr);
    if (!thread) {
        std::wstring reason = SystemReason(GetLastError());
        std::wstring undone = KeepChoice(!on);
        ShowMessage(window, FillIn(LoadText(on ? IDS_OFFLINE_NOT_ON : IDS_OFFLINE_NOT_OFF), {reason}) +
                                (undone.empty() ? L"" : L"\n\n" + undone));
        return;
    }
    App.OfflineThread = thread;
    App.RunningSwitch = std::move(job);
}

void OnOfflineSwitched(HWND window)
{
    if (!App.OfflineThread || !App.RunningSwitch)
        return;
    // The thread posts as its last act; it may not quite have returned yet.
    WaitForSingleObject(App.OfflineThread, INFINITE);
    SettleSwitch(window, !App.Ending);
}

void AwaitOfflineSwitch(HWND window, DWORD waitMs)
{
    if (!App.OfflineThread || !App.RunningSwitch)
        return;
    if (WaitForSingleObject(App.OfflineThread, waitMs) == WAIT_OBJECT_0) {
        SettleSwitch(window, false);
        return;
    }
    // The thread may yet write to its job: it ends with the process. The choice kept is the
    // one asked for, which the next start gives the proxy.
    App.RunningSwitch.release();
}
