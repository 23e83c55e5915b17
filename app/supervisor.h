// Watching the proxy kelvor started: it learns at once when the proxy ends unasked, starts it
// again after a growing pause, and gives up, saying why, when it keeps ending right away.
#pragma once

#include <windows.h>

// Posted to the main window from the thread pool when a watched proxy has ended; wParam holds
// its process id.
constexpr UINT WM_PROXYENDED = WM_APP + 2;
constexpr UINT_PTR RESTART_TIMER_ID = 1001;
// Looks at the proxy when the system would not watch it for kelvor.
constexpr UINT_PTR PROXY_CHECK_TIMER_ID = 1004;

enum class ProxyState {
    Running,        // the supervised proxy runs
    StartingAgain,  // it ended unasked; the restart timer runs
    Stopped,        // kelvor gave up until the user's Restart
};

// Watches App.ProxyProcess, just started, and counts its start.
void WatchProxy(HWND window);

// Before kelvor itself stops the proxy: no word of its end may come afterwards.
void StopWatchingProxy();

// A Restart by the user: whatever kelvor had given up on is tried afresh.
void ResetSupervision(HWND window);

// A start that failed (error from the launch): kelvor shows the proxy stopped, with the reason.
void ProxyNotStarted(HWND window, DWORD error);

void OnProxyEnded(HWND window, DWORD processId);
void OnRestartTimer(HWND window);
void OnProxyCheckTimer(HWND window);
