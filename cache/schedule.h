// The trim timer of the main window.
#pragma once

#include <windows.h>

constexpr UINT_PTR TRIM_TIMER_ID = 1000;

// The first pass, at the main window's creation, and the timer after it.
void StartTrimSchedule(HWND window);

// A pass now, and the next one a full period after this one ends.
void RunScheduledTrim(HWND window);
