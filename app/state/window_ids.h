// The main window's own messages and timers, in one place so that no two share a number. Posted
// or set by the parts below the main window, handled by its procedure on top.
#pragma once

#include <windows.h>

// The tray icon's callback; the mouse message arrives in lParam.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;
// Posted by a finished pass from its worker thread.
constexpr UINT WM_TRIMDONE = WM_APP + 1;
// Posted from the thread pool when a watched proxy has ended; wParam holds its process id.
constexpr UINT WM_PROXYENDED = WM_APP + 2;
// Posted by the switch to or from working offline, from its thread, once the proxy has answered
// or the time is up.
constexpr UINT WM_OFFLINESWITCHED = WM_APP + 25;

constexpr UINT_PTR TRIM_TIMER_ID = 1000;        // one pass per period
constexpr UINT_PTR RESTART_TIMER_ID = 1001;     // the supervised proxy's next start
constexpr UINT_PTR ICON_TIMER_ID = 1002;        // how long kelvor waits for a taskbar
constexpr UINT_PTR FIRST_PASS_TIMER_ID = 1003;  // the first pass, a moment after the start
constexpr UINT_PTR PROXY_CHECK_TIMER_ID = 1004; // looks at a proxy the system would not watch
