// The proxy kelvor supervises, the one module for it: its start (the cache folder made and given
// by a name the proxy can read), the wait on it, which learns at once when it ends unasked, the
// restarts after a growing pause, the give-up, saying why, when it keeps ending right away, and
// its stop. The proxy's state is in the state record; the tray shows it.
#pragma once

#include <windows.h>

#include <vector>

#include "proxy/proxy_address.h"
#include "proxy/stop.h"

// Where the supervised proxy listens: its config beside kelvor as it was read at its launch.
ProxyAddress SupervisedProxyAddress();

// The one start of the proxy kelvor supervises, whoever asks for it: makes the cache folder,
// gives the proxy that folder by a name it can read, launches it and watches it. A folder the
// proxy cannot use is said once: in a box over owner, or, with no owner (the restarts in the
// background), in a balloon. False, with the system's error, when the launch failed; the caller
// says so.
bool LaunchSupervisedProxy(HWND owner, DWORD& error);

// Watches App.ProxyProcess, just started, and counts its start.
void WatchProxy(HWND window);

// Before kelvor itself stops the proxy: no word of its end may come afterwards.
void StopWatchingProxy();

// A Restart by the user: whatever kelvor had given up on is tried afresh.
void ResetSupervision(HWND window);

// A start that failed (error from the launch): kelvor shows the proxy stopped, with the reason.
void ProxyNotStarted(HWND window, DWORD error);

// WM_PROXYENDED, RESTART_TIMER_ID and PROXY_CHECK_TIMER_ID, from the main window.
void OnProxyEnded(HWND window, DWORD processId);
void OnRestartTimer(HWND window);
void OnProxyCheckTimer(HWND window);

// A start asked for by the user or at start-up: LaunchSupervisedProxy, and a failure shown over
// owner, with the icon and tip showing the proxy stopped; false then.
bool StartProxy(HWND owner);

// Stops the supervised proxy, if one runs, within timeoutMs.
void StopSupervisedProxy(DWORD timeoutMs = FULL_STOP_MS);

// Stops the supervised proxy, pauses for its port to be free, and starts it again; a proxy
// that kelvor had given up on is tried afresh.
bool RestartProxy(HWND owner);

// Ends the proxies (process ids) that an earlier kelvor of this folder left running, after
// asking each to write out what it holds. True once all are gone and the port is free again.
bool EndLeftProxies(const std::vector<DWORD>& ids);

// "Failed to boot polipo (<error>)" in a message box over owner.
void ShowBootFailure(HWND owner, DWORD error);
