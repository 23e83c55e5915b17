#include "app/control/autostart.h"

#include <vector>

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/program_dir.h"
#include "app/ui/messages.h"

namespace {

constexpr wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t VALUE_NAME[] = L"kelvor";

// The value's command, expanded if it was stored with variables; empty when there is none.
std::wstring ReadRunCommand()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::wstring();
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring command;
    if (RegQueryValueExW(key, VALUE_NAME, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        // One spare character: a stored string need not end in a null.
        std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, VALUE_NAME, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                             &bytes) == ERROR_SUCCESS)
            command = data.data();
    }
    RegCloseKey(key);
    if (type == REG_EXPAND_SZ && !command.empty()) {
        std::vector<wchar_t> expanded(32768);
        DWORD length = ExpandEnvironmentStringsW(command.c_str(), expanded.data(),
                                                 static_cast<DWORD>(expanded.size()));
        if (length > 0 && length <= expanded.size())
            command = expanded.data();
    }
    return command;
}

// The program a Run command starts: the quoted part, or the whole of an unquoted command.
std::wstring ProgramOf(const std::wstring& command)
{
    if (command.empty() || command[0] != L'"')
        return command;
    size_t end = command.find(L'"', 1);
    return command.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
}

}  // namespace

bool IsStartWithWindowsOn(const std::wstring& exePath)
{
    std::wstring program = ProgramOf(ReadRunCommand());
    return !program.empty() && lstrcmpiW(program.c_str(), exePath.c_str()) == 0;
}

bool SetStartWithWindows(const std::wstring& exePath, bool on, DWORD& error)
{
    if (!on && !IsStartWithWindowsOn(exePath))
        return true;
    HKEY key = nullptr;
    LONG result = on ? RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                       &key, nullptr)
                     : RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        if (on) {
            // Quoted, or a path with spaces would start the wrong program or none.
            std::wstring command = L"\"" + exePath + L"\"";
            result = RegSetValueExW(key, VALUE_NAME, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                    static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        } else {
            result = RegDeleteValueW(key, VALUE_NAME);
            // Removed in the meantime: off is what was asked for.
            if (result == ERROR_FILE_NOT_FOUND)
                result = ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    error = static_cast<DWORD>(result);
    return result == ERROR_SUCCESS;
}

void ToggleStartWithWindows(HWND window)
{
    std::wstring exe = OwnExecutablePath();
    DWORD error = 0;
    if (exe.empty() || SetStartWithWindows(exe, !IsStartWithWindowsOn(exe), error))
        return;

    ShowMessage(window, FillIn(LoadText(IDS_START_WITH_WINDOWS_FAILED), {RUN_KEY_NAME, SystemReason(error)}));
}
