#include "cache/schedule.h"

#include "app/app_state.h"
#include "cache/trim.h"
#include "cache/trim_rules.h"

void StartTrimSchedule(HWND window)
{
    TrimCache(App.CacheDir, TrimLimitBytes(App.CacheSizeMB));
    // Armed after the pass, so a long pass never leaves a timer message waiting.
    SetTimer(window, TRIM_TIMER_ID, TrimPeriodMs(App.TrimIntervalMin), nullptr);
}

void RunScheduledTrim(HWND window)
{
    KillTimer(window, TRIM_TIMER_ID);
    StartTrimSchedule(window);
}
