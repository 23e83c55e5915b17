// The proxy that an earlier kelvor of this program folder left running when it was ended from
// outside (a crash, "End task", an installer), and the mark by which a kelvor of the folder is
// known to run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "proxy/proxy_address.h"

// The proxies running as kelvor starts, sorted by whose they are.
struct RunningProxies {
    // Processes of "polipo.exe" beside kelvor.exe in programDir, in this session, that kelvor may
    // end: left behind by an earlier kelvor of this folder, unless another one still runs.
    std::vector<DWORD> OwnFolder;
    // Any other process whose executable path names the proxy: a stranger's, never touched.
    bool Others = false;
};

// Every running process whose executable path contains exeName ("polipo.exe"), sorted. A
// process's executable is the one beside kelvor when its folder is programDir (ending in a
// backslash), compared by identity on disk, and its file name is exeName in any case.
RunningProxies FindRunningProxies(const std::wstring& programDir, const wchar_t* exeName);

// Asks the proxy process id, listening at address, to write out what it holds in memory, then
// ends it, all within timeoutMs. True once it is gone.
bool EndLeftProxy(DWORD id, const ProxyAddress& address, DWORD timeoutMs);

// Whether another process with a top-level window of windowClass (kelvor's hidden main window)
// runs an executable in programDir, the folders compared as FindRunningProxies compares them.
bool WindowOfFolderRuns(const std::wstring& programDir, const wchar_t* windowClass);

// Marks programDir as having a kelvor that runs, for as long as the returned handle stays open
// (the system closes it when the process ends, however it ends). another is set when a kelvor
// of the same folder, under any spelling of it, holds the mark already. Null, with another
// false, when no mark could be made.
HANDLE MarkProgramFolder(const std::wstring& programDir, bool& another);
