#include "app/commands.h"

#include <shellapi.h>

#include <string>

#include "app/control/autostart.h"
#include "app/control/supervised_proxy.h"
#include "app/control/system_proxy.h"
#include "app/control/trim_schedule.h"
#include "app/control/work_offline.h"
#include "app/dialogs.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/ui/messages.h"

namespace {

// The shell's own failure codes, as the system errors that say the same.
DWORD ShellError(INT_PTR code)
{
    switch (code) {
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
        return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY:
    case SE_ERR_DDETIMEOUT:
        return ERROR_DDE_FAIL;
    case SE_ERR_SHARE:
        return ERROR_SHARING_VIOLATION;
    case SE_ERR_DLLNOTFOUND:
        return ERROR_DLL_NOT_FOUND;
    default:
        return code > 0 ? static_cast<DWORD>(code) : ERROR_GEN_FAILURE;  // the rest are system errors
    }
}

void OpenWithShell(HWND window, const std::wstring& target)
{
    SetLastError(ERROR_SUCCESS);
    INT_PTR result = reinterpret_cast<INT_PTR>(ShellExecuteW(window, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result > 32)
        return;
    DWORD error = GetLastError();
    ShowMessage(window, FillIn(LoadText(IDS_OPEN_FAILED), {target, SystemReason(error != ERROR_SUCCESS ? error : ShellError(result))}));
}

// The proxy's own page, where it listens.
std::wstring ConfigPageUrl(const ProxyAddress& address)
{
    return L"http://" + HostAndPort(address) + L"/polipo/config";
}

// A dialog that is open already comes to the front instead of opening inside itself.
bool BringToFront(HWND dialog)
{
    if (!dialog || !IsWindow(dialog))
        return false;
    SetForegroundWindow(dialog);
    return true;
}

void ShowAbout(HWND window)
{
    if (BringToFront(App.AboutDialog))
        return;
    DialogBoxParamW(App.Instance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutDialogProc, 0);
    App.AboutDialog = nullptr;
}

void ChangeSettings(HWND window)
{
    if (BringToFront(App.SettingsDialog))
        return;
    int sizeBefore = App.Config.CacheSizeMB;
    INT_PTR result = DialogBoxParamW(App.Instance, MAKEINTRESOURCEW(IDD_SETTINGS), window,
                                     SettingsDialogProc, 0);
    App.SettingsDialog = nullptr;
    // A new directory alone waits for the next timer pass; a new size is applied at once.
    if (result == IDOK && App.Config.CacheSizeMB != sizeBefore)
        TrimForNewSettings(window);
}

bool TouchesProxy(UINT command)
{
    return command == CMD_EXIT || command == CMD_RESTART || command == CMD_PURGE_CACHE || command == CMD_SETTINGS ||
           command == CMD_SYSTEM_PROXY || command == CMD_WORK_OFFLINE;
}

// One action at a time: the menu still opens while a message box of kelvor's is up, and a
// command then would run inside the box's own handling, under whatever the box is about.
bool MayRun(UINT command)
{
    if (App.Refusing || App.Ending)
        return false;
    return App.OpenMessageBoxes == 0 || !TouchesProxy(command);
}

}  // namespace

LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    UINT command = LOWORD(wParam);
    if (!MayRun(command))
        return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
    // Exit would throw away what is typed in Settings, and Restart would run under it: the user
    // is shown the dialog instead.
    if ((command == CMD_EXIT || command == CMD_RESTART) && BringToFront(App.SettingsDialog))
        return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
    switch (command) {
    case CMD_ABOUT:
        ShowAbout(window);
        break;
    case CMD_EXIT:
        // While the window still lives, so that a failure can be said in a box of its own.
        GiveBackSystemProxyAtEnd(window, true);
        DestroyWindow(window);
        break;
    case CMD_CONFIG:
        OpenWithShell(window, ConfigPageUrl(SupervisedProxyAddress()));
        break;
    case CMD_RESTART:
        // A failed start is reported, and kelvor stays with the stopped icon, as after Settings:
        // the tip promises that Restart tries again.
        RestartProxy(window);
        break;
    case CMD_VIEW_LOG:
        OpenWithShell(window, App.ProgramDir + L"polipo.log");
        break;
    case CMD_PURGE_CACHE:
        PurgeCache(window);
        break;
    case CMD_SETTINGS:
        ChangeSettings(window);
        break;
    case CMD_START_WITH_WINDOWS:
        ToggleStartWithWindows(window);
        break;
    case CMD_SYSTEM_PROXY:
        ToggleSystemProxy(window);
        break;
    case CMD_WORK_OFFLINE:
        ToggleWorkOffline(window);
        break;
    }
    return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
}
