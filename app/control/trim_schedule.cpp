#include "app/control/trim_schedule.h"

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/window_ids.h"
#include "app/ui/messages.h"
#include "app/ui/settings_problems.h"
#include "app/ui/tray.h"
#include "cache/purge.h"
#include "cache/trim_rules.h"
#include "proxy/launch.h"
#include "proxy/readable_path.h"
#include "proxy/writeout.h"

namespace {

// Under Wine every file the pass lists is a call to the one server that the proxy's own start
// needs too: the first pass leaves the proxy that long to come up undisturbed.
constexpr UINT FIRST_PASS_DELAY_MS = 1000;
// The proxy's purge ends in a fraction of a second; one that hangs does not hold the sweep up.
constexpr DWORD PURGE_RUN_TIMEOUT_MS = 60000;
// As at the proxy's stop: a proxy that does not answer holds the pass up no longer than this.
constexpr DWORD WRITEOUT_TIMEOUT_MS = 1000;
#ifndef THREAD_MODE_BACKGROUND_BEGIN
#define THREAD_MODE_BACKGROUND_BEGIN 0x00010000
#endif

bool StopRequested()
{
    return App.StopTrim.load(std::memory_order_relaxed);
}

void WaitForPurgeRun(HANDLE run)
{
    for (DWORD waited = 0; waited < PURGE_RUN_TIMEOUT_MS && !StopRequested(); waited += 100) {
        if (WaitForSingleObject(run, 100) != WAIT_TIMEOUT)
            return;
    }
}

uint64_t Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The proxy records each use of an object in memory and puts it in the object's file only when
// it writes the object out: asked first, its files' times say what was used up to now.
void AskForWriteOut(const TrimJob& job)
{
    if (job.AskWriteOut && !StopRequested())
        AskProxyToWriteOut(job.Proxy, WRITEOUT_TIMEOUT_MS);
}

DWORD WINAPI RunTrimJob(void* context)
{
    auto* job = static_cast<TrimJob*>(context);
    // The pass's reads and deletions wait behind the browser's and the proxy's (Vista on; Windows
    // XP refuses the request, and the pass runs at normal priority there).
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    // One that cannot be opened at all is left to the walk, which says why it cannot list it.
    FolderIdentity now;
    job->FolderReplaced = job->AdoptedKnown && IdentityOf(job->CacheDir, now) && now != job->Adopted;
    if (job->FolderReplaced) {
        // Nothing is walked.
    } else if (job->Kind == PassKind::Purge) {
        WaitForPurgeRun(job->PurgeRun);
        AskForWriteOut(*job);
        if (!StopRequested())
            job->Result = PurgeOldFiles(job->CacheDir, Now() - PURGE_AGE, &App.StopTrim);
    } else if (job->Limit > 0) {
        AskForWriteOut(*job);
        job->Result = TrimCache(job->CacheDir, job->Limit, &App.StopTrim);
    }
    PostMessageW(job->Window, WM_TRIMDONE, 0, 0);
    return 0;
}

bool PassRunning()
{
    return App.TrimThread != nullptr;
}

bool MayTrim()
{
    return App.CacheVerdict == CacheDirVerdict::Trimmable && !App.Ending && !StopRequested();
}

// A folder that did not exist when it was adopted is taken as the first pass finds it.
bool AdoptedIdentity(FolderIdentity& id)
{
    if (!App.CacheFolderIdKnown)
        App.CacheFolderIdKnown = IdentityOf(App.CacheFolder, App.CacheFolderId);
    id = App.CacheFolderId;
    return App.CacheFolderIdKnown;
}

void StartPass(HWND window, PassKind kind, HANDLE purgeRun)
{
    // The pass gets its own copy: Settings may change the record while it runs.
    auto job = std::make_unique<TrimJob>();
    job->Window = window;
    job->Kind = kind;
    job->CacheDir = App.CacheFolder;
    job->Limit = TrimLimitBytes(App.Config.CacheSizeMB);
    job->PurgeRun = purgeRun;
    job->FolderReplaced = false;
    job->AdoptedKnown = AdoptedIdentity(job->Adopted);
    job->AskWriteOut = App.ProxyProcess.hProcess && App.Supervision == ProxyState::Running;
    job->Proxy = App.ProxyListens;
    HANDLE thread = CreateThread(nullptr, 0, RunTrimJob, job.get(), 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        if (purgeRun)
            CloseHandle(purgeRun);
        // The timer tries again at its next tick; a purge's sweep is lost, and both are said.
        if (!App.PassFailureSaid || kind == PassKind::Purge)
            ShowBalloon(window, App.AppName,
                        FillIn(LoadText(kind == PassKind::Purge ? IDS_SWEEP_NOT_STARTED : IDS_PASS_NOT_STARTED),
                               {SystemReason(error)}),
                        true);
        App.PassFailureSaid = true;
        return;
    }
    App.PassFailureSaid = false;
    App.TrimThread = thread;
    App.RunningTrim = std::move(job);
}

void StartNextPass(HWND window)
{
    if (PassRunning() || !MayTrim())
        return;
    if (App.PurgeWaiting) {
        HANDLE run = App.PurgeWaiting;
        App.PurgeWaiting = nullptr;
        StartPass(window, PassKind::Purge, run);
    } else if (App.TrimAgain) {
        App.TrimAgain = false;
        StartPass(window, PassKind::Trim, nullptr);
    }
}

void ReportSweep(HWND window, const TrimResult& result)
{
    int64_t freed = result.BytesBefore - result.BytesAfter;
    std::wstring megabytes = std::to_wstring(freed / 1048576) + L"." + std::to_wstring(freed % 1048576 * 10 / 1048576);
    ShowBalloon(window, LoadText(IDS_PURGE_TITLE),
                FillIn(LoadText(IDS_PURGE_DONE), {std::to_wstring(result.FilesDeleted), megabytes}));
}

// A folder the pass could not list, or that is no longer the one adopted, is said once for each
// folder; its size is not known.
bool ReportTrouble(HWND window, const TrimJob& job)
{
    if (!job.FolderReplaced && job.Result.ListError == 0) {
        App.CacheTroubleSaid.clear();
        return false;
    }
    App.CacheBytes = -1;
    UpdateTrayIcon(window);
    // A folder that could not be made, or that the proxy cannot read, was named at its start.
    if (App.CacheTroubleSaid == job.CacheDir || App.CacheFolderReported == job.CacheDir)
        return true;
    App.CacheTroubleSaid = job.CacheDir;
    std::wstring text = job.FolderReplaced
                            ? FillIn(LoadText(IDS_CACHE_DIR_REPLACED), {job.CacheDir})
                            : FillIn(LoadText(IDS_CACHE_DIR_NOT_LISTED), {job.CacheDir, SystemReason(job.Result.ListError)});
    ShowBalloon(window, App.AppName, text, true);
    return true;
}

// Files the pass could not delete keep the cache over its limit: said once a run, since the
// next passes will mostly meet the same files. False when it was said before.
bool ReportOverLimit(HWND window, const TrimJob& job)
{
    if (App.OverLimitReported)
        return false;
    App.OverLimitReported = true;
    ShowBalloon(window, LoadText(IDS_OVER_LIMIT_TITLE),
                FillIn(LoadText(IDS_OVER_LIMIT),
                       {std::to_wstring(job.Result.FilesNotDeleted), job.CacheDir,
                        std::to_wstring((job.Result.BytesAfter + 524288) / 1048576), std::to_wstring(App.Config.CacheSizeMB)}),
                true);
    return true;
}

// A folder that holds more than the proxy's files may be one the user chose by mistake: said
// once for each folder, so that they learn it while nothing of theirs is at stake.
void ReportOtherFiles(HWND window, const TrimJob& job)
{
    if (job.Result.OtherFiles == 0 || App.OtherFilesReported == job.CacheDir)
        return;
    App.OtherFilesReported = job.CacheDir;
    ShowBalloon(window, LoadText(IDS_OTHER_FILES_TITLE),
                FillIn(LoadText(IDS_OTHER_FILES), {job.CacheDir, std::to_wstring(job.Result.OtherFiles)}), true);
}

void FinishPass()
{
    CloseHandle(App.TrimThread);
    App.TrimThread = nullptr;
    if (App.RunningTrim && App.RunningTrim->PurgeRun)
        CloseHandle(App.RunningTrim->PurgeRun);
    App.RunningTrim.reset();
}

}  // namespace

void AdoptSettings(const Settings& settings)
{
    App.Config = settings;
    CacheDirCheck check = CheckCacheDirSetting(App.ProgramDir, settings.CacheDir);
    App.CacheFolder = check.Folder;
    // What was checked is what the passes may walk; a folder not made yet is taken when it is.
    App.CacheFolderIdKnown = !check.Folder.empty() && IdentityOf(check.Folder, App.CacheFolderId);
    App.CacheVerdictFolder = check.Which;
    App.CacheVerdict = settings.CacheDirCut ? CacheDirVerdict::TooLong : check.Verdict;
}

void StartTrimSchedule(HWND window)
{
    SetTimer(window, TRIM_TIMER_ID, TrimPeriodMs(App.Config.TrimIntervalMin), nullptr);
    SetTimer(window, FIRST_PASS_TIMER_ID, FIRST_PASS_DELAY_MS, nullptr);
}

void RunScheduledTrim(HWND window)
{
    // A tick during a pass is dropped: the pass that runs already does the work.
    if (!PassRunning() && MayTrim())
        StartPass(window, PassKind::Trim, nullptr);
}

void TrimForNewSettings(HWND window)
{
    App.TrimAgain = true;
    StartNextPass(window);
}

void SweepAfterPurge(HWND window, HANDLE purgeRun)
{
    // Two purges asked for during one pass sweep once.
    if (App.PurgeWaiting || !MayTrim()) {
        CloseHandle(purgeRun);
        return;
    }
    App.PurgeWaiting = purgeRun;
    StartNextPass(window);
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
        ShowMessage(owner, BootFailureText(error));
        return;
    }
    // Its Windows build removes nothing: once it is done, kelvor removes what it would have.
    SweepAfterPurge(owner, purge.hProcess);
}

void OnTrimDone(HWND window)
{
    // A pass given up at the end of the session has no job left to report.
    if (!PassRunning() || !App.RunningTrim)
        return;
    // The thread posts as its last act; it may not quite have returned yet.
    WaitForSingleObject(App.TrimThread, INFINITE);
    const TrimJob& job = *App.RunningTrim;
    if (!job.Result.Cancelled && !StopRequested() && !ReportTrouble(window, job)) {
        // A trim pass that trims nothing (no limit) has not measured the cache.
        if (job.Result.FilesSeen > 0 || job.Kind == PassKind::Purge || job.Limit > 0)
            App.CacheBytes = job.Result.BytesAfter;
        UpdateTrayIcon(window);
        // One balloon at a time takes the place of the one before: what a pass says about the
        // other files waits for a pass that has nothing else to say.
        bool said = false;
        if (job.Kind == PassKind::Purge) {
            ReportSweep(window, job.Result);
            said = true;
        } else if (job.Result.BytesAfter > job.Limit && job.Result.FilesNotDeleted > 0) {
            said = ReportOverLimit(window, job);
        }
        if (!said)
            ReportOtherFiles(window, job);
    }
    FinishPass();
    StartNextPass(window);
}

void StopTrimPasses(HWND window)
{
    App.StopTrim = true;
    KillTimer(window, TRIM_TIMER_ID);
    KillTimer(window, FIRST_PASS_TIMER_ID);
    if (App.PurgeWaiting) {
        CloseHandle(App.PurgeWaiting);
        App.PurgeWaiting = nullptr;
    }
}

void AwaitTrimPass(DWORD waitMs)
{
    if (!PassRunning() || !App.RunningTrim)
        return;
    if (WaitForSingleObject(App.TrimThread, waitMs) == WAIT_OBJECT_0) {
        FinishPass();
        return;
    }
    // A pass still inside one slow deletion ends with the process. Its job is never freed, since
    // the thread may yet write to it.
    App.RunningTrim.release();
}
