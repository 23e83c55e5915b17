// The one process-wide state record. It lives for the whole run, zero at start.
#pragma once

#include <windows.h>

#include "cache/trim_index.h"

struct AppState {
    wchar_t AppName[100];
    wchar_t ClassName[100];
    wchar_t ProgramDir[MAX_PATH];  // always ends in a backslash
    HINSTANCE Instance;
    wchar_t CacheDir[MAX_PATH];
    int CacheSizeMB;       // megabytes of 1,048,576 bytes; 0 or below: no trimming
    int TrimIntervalMin;   // minutes between trim passes
    PROCESS_INFORMATION ProxyProcess;  // the supervised proxy, all zero when there is none
    UINT TaskbarCreatedMsg;
    TrimIndex TrimCandidates;  // filled only while a trim pass runs
};

extern AppState App;
