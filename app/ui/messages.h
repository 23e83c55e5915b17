// What kelvor says to its user in message boxes, and the texts it says it with.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

// A string of the string table, whole, however long.
std::wstring LoadText(UINT id);

// pattern with %1, %2, ... replaced by the values in order.
std::wstring FillIn(std::wstring pattern, std::initializer_list<std::wstring> values);

// lead, then on a line of its own rest, within limit characters: lead is shortened first, with
// "..." where it was cut; rest only when it alone does not fit.
std::wstring LeadWithin(const std::wstring& lead, const std::wstring& rest, size_t limit);

// The system's own words for an error code, e.g. "Access denied." followed by its number.
std::wstring SystemReason(DWORD error);

// "Failed to boot polipo (<error>)".
std::wstring BootFailureText(DWORD error);

// COM on the user-interface thread, once: the folder browser and the shell's handlers need it.
// It costs up to half a second under Wine, so the proxy's launch does not wait for it.
void SetUpCom();

// A message box over owner with the program's name as caption and an OK button. While it is
// up, App.OpenMessageBoxes counts it.
void ShowMessage(HWND owner, const std::wstring& text);
