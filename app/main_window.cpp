#include "app/main_window.h"

#include "app/app_state.h"
#include "app/commands.h"
#include "app/resources/resource.h"
#include "app/tray.h"
#include "app/proxy_control.h"
#include "app/settings_problems.h"
#include "app/trim_schedule.h"
#include "proxy/detect.h"
#include "proxy/stop.h"

namespace {

void OnCreate(HWND window)
{
    App.TaskbarCreatedMsg = RegisterWindowMessageW(L"TaskbarCreated");
    StartTrimSchedule(window);
}

void OnDestroy(HWND window)
{
    // Order matters: no trim pass after this point, and the icon goes only once the proxy has.
    EndTrimPasses(window);
    StopProxy(App.ProxyProcess);
    RemoveTrayIcon(window);
    PostQuitMessage(0);
}

void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

void OnTrayNotify(HWND window, LPARAM mouseMessage)
{
    if (mouseMessage == WM_LBUTTONDOWN || mouseMessage == WM_RBUTTONDOWN)
        ShowTrayMenu(window);
}

void RefuseStart(HWND window)
{
    wchar_t text[100] = L"";
    LoadStringW(App.Instance, IDS_ALREADY_RUNNING, text, 100);
    MessageBoxW(window, text, App.AppName, MB_OK);
    DestroyWindow(window);
}

}  // namespace

void RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXW);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LARGE));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDM_MAIN);
    windowClass.lpszClassName = App.ClassName;
    // LoadIconW gives the large size only; the caption and Alt+Tab want the drawn small image.
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    RegisterClassExW(&windowClass);
}

BOOL CreateMainWindow(HINSTANCE instance, int)
{
    App.Instance = instance;
    // WM_CREATE runs inside this call: the first trim pass is over before the proxy starts.
    HWND window = CreateWindowExW(0, App.ClassName, App.AppName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!window)
        return FALSE;

    AddTrayIcon(window);
    // The shell may have refused the icon, and the window is gone with it: start nothing then.
    if (!IsWindow(window))
        return TRUE;

    if (IsProxyRunning(L"polipo.exe")) {
        RefuseStart(window);
        return TRUE;
    }
    // Without its proxy kelvor has nothing to do.
    if (!StartProxy(window)) {
        DestroyWindow(window);
        return TRUE;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    // Said once the proxy runs: the user is not kept from it by a box.
    ReportSettingsProblems(window);
    return TRUE;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_COMMAND:
        return OnCommand(window, wParam, lParam);
    case WM_TIMER:
        if (wParam == TRIM_TIMER_ID)
            RunScheduledTrim(window);
        return 0;
    case WM_TRIMDONE:
        OnTrimDone(window);
        return 0;
    case WM_TRAYNOTIFY:
        OnTrayNotify(window, lParam);
        return 0;
    default:
        // The shell was restarted and its new notification area has no icon of ours.
        if (App.TaskbarCreatedMsg != 0 && message == App.TaskbarCreatedMsg)
            AddTrayIcon(window);
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
