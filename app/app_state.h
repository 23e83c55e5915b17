// The one process-wide state record. It lives for the whole run, zero at start.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "cache/cache_folder.h"
#include "settings/settings.h"

struct TrimJob;

struct AppState {
    wchar_t AppName[100];
    wchar_t ClassName[100];
    std::wstring ProgramDir;  // always ends in a backslash
    HINSTANCE Instance;
    Settings Config;
    std::wstring CacheFolder;         // Config.CacheDir as a full path, for the passes and the proxy
    CacheDirVerdict CacheVerdict;     // whether passes may run over CacheFolder
    std::wstring CacheVerdictFolder;  // the protected folder it holds, if that is why not
    std::wstring CacheFolderReported; // a cache folder that could not be made, once said so
    PROCESS_INFORMATION ProxyProcess;  // the supervised proxy, all zero when there is none
    UINT TaskbarCreatedMsg;
    int OpenMessageBoxes;             // message boxes of kelvor's now on screen

    // The timer's pass runs on a thread of its own; these belong to the user-interface thread,
    // except StopTrim, which the pass reads.
    HANDLE TrimThread;
    std::unique_ptr<TrimJob> RunningTrim;
    bool TrimAgain;                 // settings changed during a pass: one more when it ends
    HANDLE PurgeWaiting;            // the proxy's purge run, whose sweep waits for the pass
    std::atomic<bool> StopTrim;     // set at the end of the program: passes end, none start
};

extern AppState App;
