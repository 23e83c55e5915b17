// What kelvor tells its user about settings it cannot use as they are.
#pragma once

#include <windows.h>

#include <string>

#include "cache/cache_folder.h"

// Why a pass may not run over folder, in a sentence; empty when it may.
std::wstring CacheDirProblemText(CacheDirVerdict verdict, const std::wstring& folder, const std::wstring& which);

// Once at start, over owner: the values of the settings file that were not used, and why
// trimming is off, if it is.
void ReportSettingsProblems(HWND owner);
