// The one process-wide state record, and its types. It lives for the whole run, zero at start.
// Everything in app/ reads it; it includes nothing of app/.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "cache/cache_folder.h"
#include "cache/trim.h"
#include "proxy/offline.h"
#include "proxy/proxy_address.h"
#include "settings/settings.h"

enum class ProxyState {
    Running,        // the supervised proxy runs
    StartingAgain,  // it ended unasked; the restart timer runs
    Stopped,        // kelvor gave up until the user's Restart
};

enum class PassKind { Trim, Purge };

// What a pass on the worker thread is given and gives back.
struct TrimJob {
    HWND Window;
    PassKind Kind;
    std::wstring CacheDir;
    int64_t Limit;          // Trim: the byte limit
    HANDLE PurgeRun;        // Purge: the proxy's own purge, waited for first; owned by the job
    FolderIdentity Adopted; // what CacheDir was when adopted; a folder in its place now is not walked
    bool AdoptedKnown;
    bool AskWriteOut;       // a supervised proxy runs: it writes out its uses before the scan
    ProxyAddress Proxy;     // where it listens
    TrimResult Result;
    bool FolderReplaced;
};

// What the switch to or from working offline is given, on its thread, and gives back.
struct OfflineJob {
    HWND Window;
    ProxyAddress Address;
    bool Offline;           // what the proxy is asked to become
    DWORD ProxyId;          // the proxy asked, which must still be the one running when it answers
    OfflineResult Result;
};

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
    FolderIdentity CacheFolderId;     // CacheFolder as it was when adopted, for each pass to check
    bool CacheFolderIdKnown;
    std::wstring CacheTroubleSaid;    // a cache folder a pass could not read or found replaced, once said
    HWND MainWindow;
    // Held for the whole run, never closed: while it is open, a later kelvor of this folder knows
    // that this one runs, and that a proxy of the folder is not left behind.
    HANDLE FolderMark;
    bool AnotherKelvorHere;           // a kelvor of this folder ran already when this one started
    PROCESS_INFORMATION ProxyProcess;  // the supervised proxy, all zero when there is none
    // Where it listens, read from its config once per launch (and at start, for the tip before
    // it): the stop, the tip, the Config page and the system proxy all use this one.
    ProxyAddress ProxyListens;
    std::wstring WriteOutRefusalSaid;  // the config's setting that refuses the write-out, once said
    // Supervision of the proxy.
    ProxyState Supervision;           // running, starting again or given up
    HANDLE ProxyWait;                 // the thread pool's wait on ProxyProcess
    bool ProxyPolled;                 // the wait could not be had: a timer looks instead
    DWORD ProxyStartTick;
    int QuickEnds;                    // ends in a row, each within a minute of its start
    int Restarts;                     // restarts since the proxy last ran steadily
    DWORD RestartPauseS;
    std::wstring ProxyEndReason;      // how it ended last, for the tip and the balloon
    UINT TaskbarCreatedMsg;
    int OpenMessageBoxes;             // message boxes of kelvor's now on screen
    bool ComReady;                    // COM is set up on the user-interface thread
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
    std::wstring SystemProxyTroubleSaid; // the last failure said in a balloon, not said again

    // The timer's pass runs on a thread of its own; these belong to the user-interface thread,
    // except StopTrim, which the pass reads.
    HANDLE TrimThread;
    std::unique_ptr<TrimJob> RunningTrim;
    bool TrimAgain;                 // settings changed during a pass: one more when it ends
    HANDLE PurgeWaiting;            // the proxy's purge run, whose sweep waits for the pass
    bool OverLimitReported;         // files that would not go were said once
    bool PassFailureSaid;           // a pass that could not be started was said once
    std::wstring OtherFilesReported;  // a cache folder whose files not of the proxy's were said once
    std::atomic<bool> StopTrim;     // set at the end of the program: passes end, none start

    // Working offline: Config.Offline is the choice, which every start of the proxy is given and
    // a switch of the running proxy makes true. The switch runs on a thread of its own while the
    // proxy answers; RunningSwitch is there until its answer is taken.
    HANDLE OfflineThread;
    std::unique_ptr<OfflineJob> RunningSwitch;
};

extern AppState App;
