#include "app/ui/tray.h"

#include <shellapi.h>

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/window_ids.h"
#include "app/ui/messages.h"
#include "proxy/proxy_address.h"

namespace {

// The Windows XP layout, up to and including guidItem, which every later shell accepts too.
// (What later headers call NOTIFYICONDATAW_V3_SIZE; XP's headers lack the member it is
// measured by.)
constexpr DWORD ICON_DATA_SIZE = FIELD_OFFSET(NOTIFYICONDATAW, guidItem) + sizeof(GUID);
static_assert(sizeof(void*) != 4 || ICON_DATA_SIZE == 952, "XP notify-icon layout");

NOTIFYICONDATAW IconData(HWND window, UINT flags)
{
    NOTIFYICONDATAW data{};
    data.cbSize = ICON_DATA_SIZE;
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = flags;
    return data;
}

constexpr int ADD_ATTEMPTS = 5;

// The notification area shows small icons: asked for at that size, Windows picks the drawn
// 16-pixel image instead of shrinking the large one. Shared: the system keeps it. A proxy given up
// serves nothing, offline or not: the stopped picture comes first.
HICON TrayIconImage()
{
    int id = App.Supervision == ProxyState::Stopped ? IDI_STOPPED : App.Config.Offline ? IDI_OFFLINE : IDI_SMALL;
    return static_cast<HICON>(LoadImageW(App.Instance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

// Owns a menu loaded from the resources for one showing.
struct LoadedMenu {
    HMENU Menu;
    explicit LoadedMenu(HMENU menu) : Menu(menu) {}
    ~LoadedMenu()
    {
        if (Menu)
            DestroyMenu(Menu);
    }
    LoadedMenu(const LoadedMenu&) = delete;
    LoadedMenu& operator=(const LoadedMenu&) = delete;
};

}  // namespace

std::wstring TrayTip()
{
    switch (App.Supervision) {
    case ProxyState::StartingAgain:
        return FillIn(LoadText(IDS_TIP_STARTING), {App.ProxyEndReason, std::to_wstring(App.RestartPauseS)});
    case ProxyState::Stopped:
        return FillIn(LoadText(IDS_TIP_STOPPED), {App.ProxyEndReason});
    case ProxyState::Running:
        break;
    }
    std::wstring tip = FillIn(LoadText(App.Config.Offline ? IDS_TIP_OFFLINE : IDS_TIP_RUNNING), {HostAndPort(App.ProxyListens)});
    if (App.CacheBytes >= 0 && App.Config.CacheSizeMB > 0 && App.CacheVerdict == CacheDirVerdict::Trimmable) {
        int64_t used = (App.CacheBytes + 524288) / 1048576;
        tip += L"\n" + FillIn(LoadText(IDS_TIP_CACHE), {std::to_wstring(used), std::to_wstring(App.Config.CacheSizeMB)});
    }
    return tip;
}

bool AddTrayIcon(HWND window)
{
    NOTIFYICONDATAW data = IconData(window, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    data.uCallbackMessage = WM_TRAYNOTIFY;
    data.hIcon = TrayIconImage();
    lstrcpynW(data.szTip, TrayTip().c_str(), ARRAYSIZE(data.szTip));

    // A shell that keeps timing out is busy or hung: a few tries, then kelvor waits for its
    // "TaskbarCreated" like for any shell that is not there yet.
    for (int attempt = 1;; ++attempt) {
        if (Shell_NotifyIconW(NIM_ADD, &data))
            break;
        DWORD error = GetLastError();
        // The icon may be there already: a busy shell can add it without answering in time, and
        // "TaskbarCreated" also comes from shells that kept their icons. An add fails then.
        if (Shell_NotifyIconW(NIM_MODIFY, &data))
            break;
        if (error != ERROR_TIMEOUT || attempt == ADD_ATTEMPTS)
            return false;
        Sleep(1000);
    }
    App.IconShown = true;
    SetDlgItemTextW(window, IDC_TIP, data.szTip);
    if (App.BalloonHeld) {
        App.BalloonHeld = false;
        ShowBalloon(window, App.HeldBalloonTitle, App.HeldBalloonText, App.HeldBalloonWarning);
    }
    return true;
}

void UpdateTrayIcon(HWND window)
{
    NOTIFYICONDATAW data = IconData(window, NIF_ICON | NIF_TIP);
    data.hIcon = TrayIconImage();
    lstrcpynW(data.szTip, TrayTip().c_str(), ARRAYSIZE(data.szTip));
    SetDlgItemTextW(window, IDC_TIP, data.szTip);
    if (App.IconShown)
        Shell_NotifyIconW(NIM_MODIFY, &data);
}

void RemoveTrayIcon(HWND window)
{
    if (!App.IconShown)
        return;
    NOTIFYICONDATAW data = IconData(window, 0);
    Shell_NotifyIconW(NIM_DELETE, &data);
    App.IconShown = false;
}

void ShowTrayMenu(HWND window, bool startWithWindows, bool systemProxy)
{
    // Without being foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    POINT cursor;
    GetCursorPos(&cursor);
    LoadedMenu menu(LoadMenuW(App.Instance, MAKEINTRESOURCEW(IDM_MAIN)));
    if (!menu.Menu)
        return;
    HMENU popup = GetSubMenu(menu.Menu, 0);
    CheckMenuItem(popup, CMD_START_WITH_WINDOWS, MF_BYCOMMAND | (startWithWindows ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(popup, CMD_SYSTEM_PROXY, MF_BYCOMMAND | (systemProxy ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(popup, CMD_WORK_OFFLINE, MF_BYCOMMAND | (App.Config.Offline ? MF_CHECKED : MF_UNCHECKED));
    // One switch at a time: the item waits for the proxy's answer.
    if (App.RunningSwitch)
        EnableMenuItem(popup, CMD_WORK_OFFLINE, MF_BYCOMMAND | MF_GRAYED);
    // Either button picks an item: the menu opens on either.
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    // A known quirk: without a message posted after the menu, its next showing may close at once
    // or not close when the user clicks elsewhere.
    PostMessageW(window, WM_NULL, 0, 0);
}

void ShowBalloon(HWND window, const std::wstring& title, const std::wstring& text, bool warning)
{
    NOTIFYICONDATAW data = IconData(window, NIF_INFO);
    lstrcpynW(data.szInfo, text.c_str(), ARRAYSIZE(data.szInfo));
    lstrcpynW(data.szInfoTitle, title.c_str(), ARRAYSIZE(data.szInfoTitle));
    data.dwInfoFlags = warning ? NIIF_WARNING : NIIF_INFO;
    if (App.IconShown && Shell_NotifyIconW(NIM_MODIFY, &data))
        return;
    // No icon to say it from (at logon, or while the shell starts again): the latest one waits
    // for the icon.
    App.BalloonHeld = true;
    App.HeldBalloonTitle = title;
    App.HeldBalloonText = text;
    App.HeldBalloonWarning = warning;
}
