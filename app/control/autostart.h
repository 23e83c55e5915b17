// "Start with Windows": a value named "kelvor" under the user's Run key that starts kelvor.exe
// at logon.
#pragma once

#include <windows.h>

#include <string>

// The key, as a person would look it up in the registry editor.
constexpr wchar_t RUN_KEY_NAME[] = L"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// True only when the value starts exePath (compared without regard to case), so that a value
// left by another copy of kelvor counts as off.
bool IsStartWithWindowsOn(const std::wstring& exePath);

// On writes the value as exePath in quotes, replacing whatever it held. Off removes the value
// when it starts exePath and leaves another copy's value alone. False, with the system's error,
// when the registry refused.
bool SetStartWithWindows(const std::wstring& exePath, bool on, DWORD& error);

// The tray command: turns it off when on for this kelvor.exe, on otherwise; a refusal is shown
// in a message box naming the key and the reason.
void ToggleStartWithWindows(HWND window);
