// The passes over the cache: one at start, once the proxy serves, then one per period, and the
// sweep after Purge cache, each on a thread of its own so that the proxy, the tray, its menu and
// the dialogs are there at once and keep answering while a large cache is walked. One runs at a
// time.
#pragma once

#include <windows.h>

#include "settings/settings.h"

// The pass's job (TrimJob), its timers and its WM_TRIMDONE are in app/state/.

// Makes settings the ones in use, with the cache folder they name and whether it may be trimmed.
void AdoptSettings(const Settings& settings);

// The timer for the passes, and the first pass a moment from now, on the worker thread like any
// other (FIRST_PASS_TIMER_ID runs it).
void StartTrimSchedule(HWND window);

// A timer pass; does nothing while a pass runs or once the program is ending.
void RunScheduledTrim(HWND window);

// A pass for settings just changed: now, or as soon as the running pass ends.
void TrimForNewSettings(HWND window);

// Purge cache: runs the proxy once in purge mode, then removes the files it would have removed
// (SweepAfterPurge). owner is the main window.
void PurgeCache(HWND owner);

// After the proxy's purge run (purgeRun, whose handle this takes over) has ended, removes the
// files not used for 32 days, and says how many went in a balloon.
void SweepAfterPurge(HWND window, HANDLE purgeRun);

// WM_TRIMDONE: the worker thread is finished with its job.
void OnTrimDone(HWND window);

// No pass starts from now on, and a running one is asked to end; it ends at its next file.
void StopTrimPasses(HWND window);

// Gives a pass asked to end up to waitMs to be over; one still inside a slow deletion then ends
// with the process.
void AwaitTrimPass(DWORD waitMs);
