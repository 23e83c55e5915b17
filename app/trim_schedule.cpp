#include "app/trim_schedule.h"

#include "app/app_state.h"
#include "cache/trim_rules.h"

namespace {

// Checked between deletions, a pass ends well within this.
constexpr DWORD END_PASS_TIMEOUT_MS = 1000;

DWORD WINAPI RunTrimJob(void* context)
{
    auto* job = static_cast<TrimJob*>(context);
    job->Result = TrimCache(job->CacheDir, job->Limit, &App.StopTrim);
    PostMessageW(job->Window, WM_TRIMDONE, 0, 0);
    return 0;
}

bool TrimRunning()
{
    return App.TrimThread != nullptr;
}

bool MayTrim()
{
    return App.CacheVerdict == CacheDirVerdict::Trimmable && !App.StopTrim;
}

void StartPass(HWND window)
{
    if (TrimRunning() || !MayTrim())
        return;
    // The pass gets its own copy: Settings may change the record while it runs.
    auto job = std::make_unique<TrimJob>();
    job->Window = window;
    job->CacheDir = App.CacheFolder;
    job->Limit = TrimLimitBytes(App.Config.CacheSizeMB);
    HANDLE thread = CreateThread(nullptr, 0, RunTrimJob, job.get(), 0, nullptr);
    if (!thread)
        return;
    App.TrimThread = thread;
    App.RunningTrim = std::move(job);
}

void FinishPass()
{
    CloseHandle(App.TrimThread);
    App.TrimThread = nullptr;
    App.RunningTrim.reset();
}

}  // namespace

void AdoptSettings(const Settings& settings)
{
    App.Config = settings;
    App.CacheFolder = ResolveCacheDir(App.ProgramDir, settings.CacheDir);
    App.CacheVerdictFolder.clear();
    App.CacheVerdict = settings.CacheDirCut ? CacheDirVerdict::TooLong
                                            : CheckCacheDir(App.CacheFolder, ProtectedFolders(App.ProgramDir),
                                                            App.CacheVerdictFolder);
}

void StartTrimSchedule(HWND window)
{
    if (MayTrim())
        TrimCache(App.CacheFolder, TrimLimitBytes(App.Config.CacheSizeMB));
    SetTimer(window, TRIM_TIMER_ID, TrimPeriodMs(App.Config.TrimIntervalMin), nullptr);
}

void RunScheduledTrim(HWND window)
{
    // A tick during a pass is dropped: the pass that runs already does the work.
    StartPass(window);
}

void TrimForNewSettings(HWND window)
{
    if (TrimRunning())
        App.TrimAgain = true;
    else
        StartPass(window);
}

void OnTrimDone(HWND window)
{
    if (!TrimRunning())
        return;
    // The thread posts as its last act; it may not quite have returned yet.
    WaitForSingleObject(App.TrimThread, INFINITE);
    FinishPass();
    if (App.TrimAgain) {
        App.TrimAgain = false;
        StartPass(window);
    }
}

void EndTrimPasses(HWND window)
{
    App.StopTrim = true;
    KillTimer(window, TRIM_TIMER_ID);
    if (!TrimRunning())
        return;
    if (WaitForSingleObject(App.TrimThread, END_PASS_TIMEOUT_MS) == WAIT_OBJECT_0) {
        FinishPass();
        return;
    }
    // A pass still inside one slow deletion ends with the process. Its job is never freed, since
    // the thread may yet write to it.
    App.RunningTrim.release();
}
