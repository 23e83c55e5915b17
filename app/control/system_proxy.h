// "Use as system proxy": the current user's proxy settings pointed at kelvor's proxy while the
// proxy runs, and the user's own given back, exactly, whichever way kelvor stops using them.
#pragma once

#include <windows.h>

// This kelvor has set its proxy, and the LAN settings still name it.
bool IsSystemProxyOn();

// The menu's check mark: IsSystemProxyOn while the proxy serves, the kept choice while it does not
// (given up, or not started), so that the choice can still be turned off then.
bool SystemProxyChecked();

// The menu command: turns it off when on, on otherwise, and keeps the choice in kelvor.ini. A
// failure changes nothing and is shown in a message box with the system's reason.
void ToggleSystemProxy(HWND window);

// The supervisor's word that the proxy runs (running) or was given up or could not start. The
// first word also settles a proxy-restore.ini that an earlier run left behind.
void SystemProxyFollowsProxy(HWND window, bool running);

// Exit and the end of the session: the user's own settings go back. tell shows a failure in a
// message box; the saved file then stays for the next start.
void GiveBackSystemProxyAtEnd(HWND window, bool tell);
