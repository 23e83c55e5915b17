// The one process-wide state record. It lives for the whole run, zero at start.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/supervisor.h"
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
    std::wstring CacheFolderReported; // a cache folder the proxy cannot use, once said so
    HWND MainWindow;
    PROCESS_INFORMATION ProxyProcess;  // the supervised proxy, all zero when there is none
    // Supervision of the proxy.
    ProxyState Supervision;           // running, starting again or given up
    HANDLE ProxyWait;                 // the thread pool's wait on ProxyProcess
    DWORD ProxyStartTick;
    int QuickEnds;                    // ends in a row, each within a minute of its start
    int Restarts;                     // restarts since the proxy last ran steadily
    DWORD RestartPauseS;
    std::wstring ProxyEndReason;      // how it ended last, for the tip and the balloon
    UINT TaskbarCreatedMsg;
    int OpenMessageBoxes;             // message boxes of kelvor's now on screen
    bool Refusing;                    // telling the user a proxy runs already: no command runs
    bool Ending;                      // the session or the program ends: nothing starts
    bool IconShown;                   // the shell has taken the icon
    // A balloon said while there was no icon to say it from, shown once the icon is back.
    bool BalloonHeld;
    std::wstring HeldBalloonTitle;
    std::wstring HeldBalloonText;
    bool HeldBalloonWarning;
    int64_t CacheBytes;               // what the last pass left, -1 before the first
    HWND SettingsDialog;              // open dialogs, each opened once
    HWND AboutDialog;
    std::wstring SystemProxyAddress;  // kelvor's proxy as this run set the system's to; empty when not
    bool SystemProxyInCharge;         // this run answers for proxy-restore.ini

    // The timer's pass runs on a thread of its own; these belong to the user-interface thread,
    // except StopTrim, which the pass reads.
    HANDLE TrimThread;
    std::unique_ptr<TrimJob> RunningTrim;
    bool TrimAgain;                 // settings changed during a pass: one more when it ends
    HANDLE PurgeWaiting;            // the proxy's purge run, whose sweep waits for the pass
    bool OverLimitReported;         // files that would not go were said once
    std::wstring OtherFilesReported;  // a cache folder whose files not of the proxy's were said once
    std::atomic<bool> StopTrim;     // set at the end of the program: passes end, none start
};

extern AppState App;
