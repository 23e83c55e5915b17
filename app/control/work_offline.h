// "Work offline": the proxy serves from its cache alone, never waiting for a server, until the
// user turns it off. The choice is kept in kelvor.ini and given to every start of the proxy; the
// running proxy is switched through its configuration form, off the user-interface thread.
#pragma once

#include <windows.h>

// The menu command: the choice is kept in kelvor.ini first, then the running proxy is switched;
// a proxy that refuses or does not answer leaves the choice as it was, and the user is told
// why. A proxy that does not run gets the choice when it starts.
void ToggleWorkOffline(HWND window);

// WM_OFFLINESWITCHED.
void OnOfflineSwitched(HWND window);

// At the end of the program: gives a switch under way up to waitMs to be over.
void AwaitOfflineSwitch(HWND window, DWORD waitMs);
