// The supervised proxy as the user sees it: started, restarted, purging, and the box that says
// when it could not be started.
#pragma once

#include <windows.h>

#include <vector>

#include "proxy/proxy_address.h"
#include "proxy/stop.h"

// The one start of the proxy kelvor supervises, whoever asks for it: makes the cache folder,
// gives the proxy that folder by a name it can read, launches it and watches it. A folder the
// proxy cannot use is said once: in a box over owner, or, with no owner (the supervisor's
// restarts in the background), in a balloon. False, with the system's error, when the launch
// failed; the caller says so.
bool LaunchSupervisedProxy(HWND owner, DWORD& error);

// A start asked for by the user or at start-up: LaunchSupervisedProxy, and a failure shown over
// owner, with the icon and tip showing the proxy stopped; false then.
bool StartProxy(HWND owner);

// Where the proxy listens, from its config beside kelvor.
ProxyAddress SupervisedProxyAddress();

// Stops the supervised proxy, if one runs, within timeoutMs.
void StopSupervisedProxy(DWORD timeoutMs = FULL_STOP_MS);

// Stops the supervised proxy, pauses for its port to be free, and starts it again; a proxy
// that kelvor had given up on is tried afresh.
bool RestartProxy(HWND owner);

// Ends the proxies (process ids) that an earlier kelvor of this folder left running, after
// asking each to write out what it holds. True once all are gone and the port is free again.
bool EndLeftProxies(const std::vector<DWORD>& ids);

// Runs the proxy once in purge mode, then removes the files it would have removed. owner is
// the main window.
void PurgeCache(HWND owner);

// "Failed to boot polipo (<error>)" in a message box over owner.
void ShowBootFailure(HWND owner, DWORD error);
