// Loaded into kelvor by a hook that a test sets on kelvor's user-interface thread. Right after
// kelvor's main window has handled WM_DESTROY, while it is still a window, it asks the shell
// whether the window's icon is still there and writes "shown" or "gone" to the file named in
// KELVOR_ICON_PROBE. Once a window is destroyed the shell drops its icons by itself, so only
// this moment tells whether kelvor removed its icon.
//
// Asked by the message "kelvor probe: is this a menu" sent to kelvor's main window, it writes
// "menu" or "none" for the handle in wParam to the file named in KELVOR_MENU_PROBE: menus can
// be looked at only inside the process that made them.
#include <windows.h>
#include <shellapi.h>

extern "C" __declspec(dllexport) LRESULT CALLBACK AfterWindowProc(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    wchar_t className[16] = L"";
    wchar_t path[MAX_PATH] = L"";
    static const UINT isMenu = RegisterWindowMessageW(L"kelvor probe: is this a menu");
    if (code == HC_ACTION && call->message == isMenu && GetEnvironmentVariableW(L"KELVOR_MENU_PROBE", path, MAX_PATH)) {
        const char* answer = IsMenu(reinterpret_cast<HMENU>(call->wParam)) ? "menu" : "none";
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, answer, lstrlenA(answer), &written, nullptr);
            CloseHandle(file);
        }
    }
    if (code == HC_ACTION && call->message == WM_DESTROY && GetClassNameW(call->hwnd, className, 16) &&
        lstrcmpW(className, L"KELVOR") == 0 && GetEnvironmentVariableW(L"KELVOR_ICON_PROBE", path, MAX_PATH)) {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof(data);
        data.hWnd = call->hwnd;
        data.uID = 0;
        data.uFlags = NIF_TIP;
        lstrcpynW(data.szTip, L"kelvor", ARRAYSIZE(data.szTip));
        const char* answer = !IsWindow(call->hwnd) ? "destroyed" : Shell_NotifyIconW(NIM_MODIFY, &data) ? "shown" : "gone";
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, answer, lstrlenA(answer), &written, nullptr);
            CloseHandle(file);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Set the same way by a test that ends kelvor from outside. Right after kelvor's main window has
// handled WM_DESTROY it writes the current user's ProxyEnable and ProxyServer, as the registry
// holds them then ("1 user.example:3128"), to the file named in KELVOR_PROXY_PROBE: what
// kelvor's own end left of the system's proxy settings, before anything else could change them.
extern "C" __declspec(dllexport) LRESULT CALLBACK ProxyAfterDestroy(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    wchar_t className[16] = L"";
    wchar_t path[MAX_PATH] = L"";
    HKEY key = nullptr;
    if (code == HC_ACTION && call->message == WM_DESTROY && GetClassNameW(call->hwnd, className, 16) &&
        lstrcmpW(className, L"KELVOR") == 0 && GetEnvironmentVariableW(L"KELVOR_PROXY_PROBE", path, MAX_PATH) &&
        RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                      KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD enable = 0;
        DWORD bytes = sizeof(enable);
        RegQueryValueExW(key, L"ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&enable), &bytes);
        wchar_t server[512] = L"";
        bytes = sizeof(server) - sizeof(wchar_t);
        RegQueryValueExW(key, L"ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(server), &bytes);
        RegCloseKey(key);
        wchar_t answer[600];
        wsprintfW(answer, L"%lu %s", enable, server);
        char utf8[1800];
        int length = WideCharToMultiByte(CP_UTF8, 0, answer, -1, utf8, sizeof(utf8), nullptr, nullptr);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE && length > 0) {
            DWORD written = 0;
            WriteFile(file, utf8, static_cast<DWORD>(length - 1), &written, nullptr);
        }
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
