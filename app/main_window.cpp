#include "app/main_window.h"

#include "app/commands.h"
#include "app/control/autostart.h"
#include "app/control/supervised_proxy.h"
#include "app/control/system_proxy.h"
#include "app/control/trim_schedule.h"
#include "app/control/work_offline.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/program_dir.h"
#include "app/state/window_ids.h"
#include "app/ui/messages.h"
#include "app/ui/settings_problems.h"
#include "app/ui/tray.h"
#include "proxy/orphan.h"

namespace {

// Without a taskbar for this long (ICON_TIMER_ID), kelvor gives up on its icon.
constexpr UINT ICON_WAIT_MS = 2 * 60000;
// Exit, and the end of the session, are over within two seconds: the pass, the write-out and the
// proxy's stop share this, and the icon and the process's own end take the rest.
constexpr DWORD ENDING_MS = 1500;

DWORD MsLeft(DWORD start)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= ENDING_MS ? 0 : ENDING_MS - elapsed;
}

void OnCreate(HWND window)
{
    App.MainWindow = window;
    App.CacheBytes = -1;
    App.TaskbarCreatedMsg = RegisterWindowMessageW(L"TaskbarCreated");
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 0, 0, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TIP)), App.Instance, nullptr);
}

void OnDestroy(HWND window)
{
    App.Ending = true;
    // Exit has given the user's own proxy settings back already, and said so if it could not;
    // any other way here does it quietly.
    GiveBackSystemProxyAtEnd(window, false);
    DWORD start = GetTickCount();
    // Order matters: no pass and no restart after this point, and the icon goes only once the
    // proxy has. The pass ends at its next file while the proxy writes out and stops.
    StopTrimPasses(window);
    KillTimer(window, RESTART_TIMER_ID);
    KillTimer(window, ICON_TIMER_ID);
    KillTimer(window, PROXY_CHECK_TIMER_ID);
    // A switch under way ends within its second, while its proxy still answers: what it gets is
    // what the next start is given.
    AwaitOfflineSwitch(window, MsLeft(start));
    StopSupervisedProxy(MsLeft(start));
    AwaitTrimPass(MsLeft(start));
    RemoveTrayIcon(window);
    PostQuitMessage(0);
}

// Logoff or shutdown: the system ends kelvor soon after this returns, and Exit's ending fits the
// time it gives; nobody is there to read a message. Windows may also end the session of a
// program only (to update it): then kelvor ends too.
void OnEndSession(HWND window, bool ending)
{
    if (!ending)
        return;
    GiveBackSystemProxyAtEnd(window, false);
    DestroyWindow(window);
}

void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

void OnTrayNotify(HWND window, LPARAM mouseMessage)
{
    if (App.Refusing || App.Ending)
        return;
    // The registry, not a remembered state: the value may have been changed outside kelvor.
    if (mouseMessage == WM_LBUTTONDOWN || mouseMessage == WM_RBUTTONDOWN)
        ShowTrayMenu(window, IsStartWithWindowsOn(OwnExecutablePath()), SystemProxyChecked());
}

void OnTimer(HWND window, UINT_PTR id)
{
    switch (id) {
    case FIRST_PASS_TIMER_ID:
        KillTimer(window, FIRST_PASS_TIMER_ID);
        RunScheduledTrim(window);
        break;
    case TRIM_TIMER_ID:
        RunScheduledTrim(window);
        break;
    case RESTART_TIMER_ID:
        OnRestartTimer(window);
        break;
    case PROXY_CHECK_TIMER_ID:
        OnProxyCheckTimer(window);
        break;
    case ICON_TIMER_ID:
        KillTimer(window, ICON_TIMER_ID);
        if (!App.IconShown && !App.Ending) {
            ShowMessage(window, LoadText(IDS_NO_TRAY_ICON));
            // The shell may have come back while the box was up, with or without telling kelvor.
            if (App.Ending || App.IconShown || AddTrayIcon(window))
                break;
            GiveBackSystemProxyAtEnd(window, true);
            DestroyWindow(window);
        }
        break;
    }
}

// The shell was (re)started and its new notification area has no icon of ours.
void OnTaskbarCreated(HWND window)
{
    if (App.Ending)
        return;
    if (AddTrayIcon(window)) {
        KillTimer(window, ICON_TIMER_ID);
        return;
    }
    // The old icon went with the old shell. Without one the user cannot reach kelvor: wait for
    // the shell's next start as at logon, and give up as then.
    if (App.IconShown) {
        App.IconShown = false;
        SetTimer(window, ICON_TIMER_ID, ICON_WAIT_MS, nullptr);
    }
}

void RefuseStart(HWND window)
{
    App.Refusing = true;
    ShowMessage(window, LoadText(IDS_ALREADY_RUNNING));
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
    HWND window = CreateWindowExW(0, App.ClassName, App.AppName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!window)
        return FALSE;

    // At logon the taskbar may not be there yet: its "TaskbarCreated" brings the icon.
    if (!AddTrayIcon(window))
        SetTimer(window, ICON_TIMER_ID, ICON_WAIT_MS, nullptr);

    // A second kelvor trims nothing: the cache is the first one's. Only the proxy that an
    // earlier kelvor of this folder left running when it was ended from outside is this one's:
    // it is ended, having written out what it holds, and started afresh with these settings,
    // as any start would, rather than adopted with a cache folder and log nobody can tell.
    RunningProxies running = FindRunningProxies(App.ProgramDir, L"polipo.exe");
    bool leftBehind = !running.OwnFolder.empty();
    // The mark tells of a kelvor that is still starting; the window of one whose folder has
    // since gone by another volume serial (Wine gives a folder a new one when a drive letter
    // is added inside its drive), or of one from before the mark.
    bool anotherKelvor = App.AnotherKelvorHere || (leftBehind && WindowOfFolderRuns(App.ProgramDir, App.ClassName));
    if (running.Others || (leftBehind && (anotherKelvor || !EndLeftProxies(running.OwnFolder)))) {
        RefuseStart(window);
        return TRUE;
    }
    // Without its proxy kelvor has nothing to do.
    if (!StartProxy(window)) {
        DestroyWindow(window);
        return TRUE;
    }
    if (leftBehind)
        ShowBalloon(window, LoadText(IDS_PROXY_TAKEN_OVER_TITLE), LoadText(IDS_PROXY_TAKEN_OVER));
    // The proxy serves from here on, whatever the size of the cache: the first pass runs beside
    // it, as every later one does.
    StartTrimSchedule(window);
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
        OnTimer(window, wParam);
        return 0;
    case WM_TRIMDONE:
        OnTrimDone(window);
        return 0;
    case WM_PROXYENDED:
        OnProxyEnded(window, static_cast<DWORD>(wParam));
        return 0;
    case WM_OFFLINESWITCHED:
        OnOfflineSwitched(window);
        return 0;
    case WM_QUERYENDSESSION:
        // Nothing to save and nothing to ask: kelvor never holds up a logoff.
        return TRUE;
    case WM_ENDSESSION:
        OnEndSession(window, wParam != FALSE);
        return 0;
    case WM_TRAYNOTIFY:
        OnTrayNotify(window, lParam);
        return 0;
    default:
        if (App.TaskbarCreatedMsg != 0 && message == App.TaskbarCreatedMsg)
            OnTaskbarCreated(window);
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
