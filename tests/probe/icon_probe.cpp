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
