#include "app/control/system_proxy.h"

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/ui/messages.h"
#include "app/ui/tray.h"
#include "proxy/internet_options.h"
#include "proxy/proxy_address.h"
#include "settings/proxy_restore.h"

#include <algorithm>

namespace {

std::wstring RestoreFile()
{
    return App.ProgramDir + PROXY_RESTORE_FILE;
}

std::wstring ConnectionTitle(const std::wstring& connection)
{
    return connection.empty() ? LoadText(IDS_LAN_SETTINGS) : L"\"" + connection + L"\"";
}

std::wstring ConnectionFailure(const std::wstring& connection, DWORD error)
{
    return FillIn(LoadText(IDS_SYSTEM_PROXY_REFUSED), {ConnectionTitle(connection), SystemReason(error)});
}

// Saves the user's own settings, then points every connection at kelvor's proxy. What went wrong
// when it could not, with everything left as it was; empty when done.
std::wstring PointSystemAtProxy()
{
    std::wstring file = RestoreFile();
    SavedProxySettings saved;
    bool hadFile = LoadProxyRestore(file, saved);
    std::vector<ConnectionProxy> current;
    DWORD error = ERROR_SUCCESS;
    for (const std::wstring& connection : ListConnections()) {
        ConnectionProxy proxy;
        if (!ReadConnectionProxy(connection, proxy, error))
            return ConnectionFailure(connection, error);
        current.push_back(proxy);
    }
    std::wstring address = HostAndPort(App.ProxyListens);
    SavedProxySettings own{address, OwnSettings(current, saved.Connections, saved.Address)};
    // The saved file is on disk before anything of the user's changes.
    if ((!hadFile || own.Address != saved.Address || own.Connections != saved.Connections) &&
        !SaveProxyRestore(file, own, error))
        return FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_SAVED), {file, SystemReason(error)});
    for (size_t i = 0; i < own.Connections.size(); ++i) {
        if (WriteConnectionProxy(PointedAt(own.Connections[i], address), error))
            continue;
        DWORD ignored = ERROR_SUCCESS;
        for (size_t done = 0; done < i; ++done)
            WriteConnectionProxy(current[done], ignored);
        if (!hadFile)
            DeleteFileW(file.c_str());
        AnnounceProxyChange();
        return ConnectionFailure(own.Connections[i].Connection, error);
    }
    AnnounceProxyChange();
    App.SystemProxyAddress = address;
    return std::wstring();
}

// Puts back each connection's saved settings, unless the user has set it otherwise since, and
// deletes the file. What went wrong, the file kept; empty when done.
std::wstring GiveBack()
{
    std::wstring file = RestoreFile();
    SavedProxySettings saved;
    if (!LoadProxyRestore(file, saved)) {
        App.SystemProxyAddress.clear();
        return std::wstring();
    }
    std::wstring failure;
    std::vector<std::wstring> listed = ListConnections();
    for (const ConnectionProxy& own : saved.Connections) {
        // A connection that is gone has nothing of kelvor's to take back. One that cannot be read
        // keeps the file, the only copy of the user's settings for it.
        if (!own.Connection.empty() && std::find(listed.begin(), listed.end(), own.Connection) == listed.end())
            continue;
        ConnectionProxy now;
        DWORD error = ERROR_SUCCESS;
        bool read = ReadConnectionProxy(own.Connection, now, error);
        if (read && !NamesAddress(now, saved.Address))
            continue;
        if ((!read || !WriteConnectionProxy(own, error)) && failure.empty())
            failure = FillIn(LoadText(IDS_SYSTEM_PROXY_NOT_GIVEN_BACK), {ConnectionTitle(own.Connection), SystemReason(error), file});
    }
    AnnounceProxyChange();
    if (!failure.empty())
        return failure;
    // One that would not go does no harm: no connection names the address it holds any more.
    DeleteFileW(file.c_str());
    App.SystemProxyAddress.clear();
    return std::wstring();
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
    // Not kept, so not done: the next start would do otherwise.
    std::wstring undone = on ? GiveBack() : PointSystemAtProxy();
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
    bool leftBehind = !App.SystemProxyInCharge && GetFileAttributesW(RestoreFile().c_str()) != INVALID_FILE_ATTRIBUTES;
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
    if (!failure.empty())
        ShowBalloon(window, title, failure, true);
    else if (leftBehind)
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
