#include "app/control/system_proxy.h"

#include "app/control/system_proxy_switch.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/ui/messages.h"
#include "app/ui/tray.h"
#include "proxy/internet_options.h"
#include "proxy/proxy_address.h"
#include "settings/proxy_restore.h"

namespace {

std::wstring RestoreFilePath()
{
    return App.ProgramDir + PROXY_RESTORE_FILE;
}

std::wstring ConnectionTitle(const std::wstring& connection)
{
    return connection.empty() ? LoadText(IDS_LAN_SETTINGS) : L"\"" + connection + L"\"";
}

// What the user is told of a failure; empty when there was none.
std::wstring FailureText(const SwitchResult& result)
{
    std::wstring file = RestoreFilePath();
    std::wstring reason = SystemReason(result.Error);
    std::wstring connection = ConnectionTitle(result.Connection);
    switch (result.Failure) {
    case SwitchFailure::None:
        break;
    case SwitchFailure::UnusableFile:
        return FillIn(LoadText(IDS_RESTORE_FILE_UNUSABLE), {file});
    case SwitchFailure::NotListed:
        return FillIn(LoadText(IDS_CONNECTIONS_NOT_LISTED), {reason});
    case SwitchFailure::NotRead:
        return FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_READ), {connection, reason});
    case SwitchFailure::NotSaved:
        return FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_SAVED), {file, reason});
    case SwitchFailure::Refused:
        return FillIn(LoadText(IDS_SYSTEM_PROXY_REFUSED), {connection, reason});
    case SwitchFailure::NotRolledBack:
        return FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_ROLLED_BACK), {connection, reason, file});
    case SwitchFailure::NotGivenBack:
        return FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_GIVEN_BACK), {connection, reason, file});
    }
    return std::wstring();
}

// Saves the user's own settings, then points every connection at kelvor's proxy. What went wrong
// when it could not; empty when done.
std::wstring PointSystemAtProxy()
{
    std::wstring address = HostAndPort(App.ProxyListens);
    SwitchResult result = PointConnectionsAt(RestoreFilePath(), address, SystemConnections());
    if (result.Failure == SwitchFailure::None || result.Failure == SwitchFailure::NotRolledBack)
        App.SystemProxyAddress = address;
    return FailureText(result);
}

// Puts back each connection's saved settings, unless the user has set it otherwise since, and
// deletes the file. What went wrong, the file kept; empty when done.
std::wstring GiveBack()
{
    SwitchResult result = GiveConnectionsBack(RestoreFilePath(), SystemConnections());
    if (result.Failure == SwitchFailure::None)
        App.SystemProxyAddress.clear();
    return FailureText(result);
}

bool ProxyServes()
{
    return App.Supervision != ProxyState::Stopped && App.ProxyProcess.hProcess;
}

void SaveChoice(HWND window, bool on)
{
    DWORD error = ERROR_SUCCESS;
    if (SaveSystemProxyChoice(App.ProgramDir, App.Config, on, error)) {
        App.Config.SystemProxy = on;
        return;
    }
    // Not kept, so not done: the next start would do otherwise. Nothing is pointed at a proxy
    // that does not serve.
    std::wstring undone = on ? GiveBack() : ProxyServes() ? PointSystemAtProxy() : std::wstring();
    ShowMessage(window, FillIn(LoadText(IDS_SAVE_FAILED), {App.ProgramDir + L"kelvor.ini", SystemReason(error)}) +
                            (undone.empty() ? L"" : L"\n\n" + undone));
}

}  // namespace

bool IsSystemProxyOn()
{
    ConnectionProxy lan;
    DWORD error = ERROR_SUCCESS;
    return !App.SystemProxyAddress.empty() && ReadConnectionProxy(L"", lan, error) &&
           NamesAddress(lan, App.SystemProxyAddress);
}

bool SystemProxyChecked()
{
    // While the proxy does not serve, nothing is pointed at it: the choice is what counts.
    return ProxyServes() ? IsSystemProxyOn() : App.Config.SystemProxy;
}

void ToggleSystemProxy(HWND window)
{
    bool on = !SystemProxyChecked();
    App.SystemProxyInCharge = true;
    // Turned on while the proxy is given up, it is set when the proxy runs again.
    std::wstring failure = on ? (ProxyServes() ? PointSystemAtProxy() : std::wstring()) : GiveBack();
    if (!failure.empty()) {
        ShowMessage(window, failure);
        return;
    }
    SaveChoice(window, on);
}

void SystemProxyFollowsProxy(HWND window, bool running)
{
    // Another kelvor in this folder never gets this far: the file is its, not ours.
    bool leftBehind = !App.SystemProxyInCharge && GetFileAttributesW(RestoreFilePath().c_str()) != INVALID_FILE_ATTRIBUTES;
    App.SystemProxyInCharge = true;
    std::wstring failure;
    if (running && App.Config.SystemProxy) {
        // Also when the proxy came back on another address or port (its config was changed).
        if (App.SystemProxyAddress != HostAndPort(App.ProxyListens))
            failure = PointSystemAtProxy();
    } else if (!running || leftBehind) {
        failure = GiveBack();
    }
    std::wstring title = LoadText(IDS_SYSTEM_PROXY_TITLE);
    // The same failure at each restart of the proxy is said once.
    if (!failure.empty() && failure != App.SystemProxyTroubleSaid)
        ShowBalloon(window, title, failure, true);
    App.SystemProxyTroubleSaid = failure;
    if (!failure.empty())
        return;
    if (leftBehind)
        ShowBalloon(window, title, LoadText(App.SystemProxyAddress.empty() ? IDS_SYSTEM_PROXY_RECOVERED : IDS_SYSTEM_PROXY_KEPT));
}

void GiveBackSystemProxyAtEnd(HWND window, bool tell)
{
    if (!App.SystemProxyInCharge)
        return;
    App.SystemProxyInCharge = false;
    std::wstring failure = GiveBack();
    if (!failure.empty() && tell)
        ShowMessage(window, failure);
}
