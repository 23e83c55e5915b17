#include "app/control/system_proxy_switch.h"

#include <algorithm>

#include "proxy/internet_options.h"
#include "settings/proxy_restore.h"

namespace {

SwitchResult Failed(SwitchFailure failure, const std::wstring& connection, DWORD error)
{
    return SwitchResult{failure, connection, error};
}

bool Listed(const std::vector<std::wstring>& names, const std::wstring& connection)
{
    return std::find(names.begin(), names.end(), connection) != names.end();
}

// Sets back the connections before i, as they were; false when one of them would not go.
bool RollBack(const std::vector<ConnectionProxy>& before, size_t i, const ConnectionStore& store)
{
    bool all = true;
    for (size_t done = 0; done < i; ++done) {
        DWORD ignored = ERROR_SUCCESS;
        all = store.Write(before[done], ignored) && all;
    }
    return all;
}

}  // namespace

ConnectionStore SystemConnections()
{
    return ConnectionStore{ListConnections, ReadConnectionProxy, WriteConnectionProxy, AnnounceProxyChange};
}

SwitchResult PointConnectionsAt(const std::wstring& file, const std::wstring& address, const ConnectionStore& store)
{
    SavedProxySettings saved;
    RestoreFile found = LoadProxyRestore(file, saved);
    std::string before;
    // What could not be given back, or could not be put back as it was, is not overwritten.
    if (found == RestoreFile::Unusable || (found == RestoreFile::Usable && !ReadProxyRestoreBytes(file, before)))
        return Failed(SwitchFailure::UnusableFile, std::wstring(), ERROR_SUCCESS);
    std::vector<std::wstring> names;
    DWORD error = ERROR_SUCCESS;
    if (!store.List(names, error))
        return Failed(SwitchFailure::NotListed, std::wstring(), error);
    std::vector<ConnectionProxy> current;
    for (const std::wstring& connection : names) {
        ConnectionProxy proxy;
        if (!store.Read(connection, proxy, error))
            return Failed(SwitchFailure::NotRead, connection, error);
        current.push_back(proxy);
    }
    SavedProxySettings own{address, OwnSettings(current, saved.Connections, saved.Address)};
    bool rewritten = found == RestoreFile::Absent || own.Address != saved.Address || own.Connections != saved.Connections;
    if (rewritten && !SaveProxyRestore(file, own, error))
        return Failed(SwitchFailure::NotSaved, std::wstring(), error);
    for (size_t i = 0; i < own.Connections.size(); ++i) {
        if (store.Write(PointedAt(own.Connections[i], address), error))
            continue;
        SwitchResult refused = Failed(SwitchFailure::Refused, own.Connections[i].Connection, error);
        // The file then still holds the user's own settings of the connection that stayed kelvor's.
        if (!RollBack(current, i, store))
            refused.Failure = SwitchFailure::NotRolledBack;
        else if (rewritten && found == RestoreFile::Absent)
            DeleteFileW(file.c_str());
        // Left rewritten, it would name an address that the rolled-back connections do not, and
        // the next give-back would take them for the user's.
        else if (rewritten && !PutBackProxyRestore(file, before, error))
            refused.Failure = SwitchFailure::NotRolledBack;
        store.Announce();
        return refused;
    }
    store.Announce();
    return SwitchResult{};
}

SwitchResult GiveConnectionsBack(const std::wstring& file, const ConnectionStore& store)
{
    SavedProxySettings saved;
    RestoreFile found = LoadProxyRestore(file, saved);
    if (found == RestoreFile::Absent)
        return SwitchResult{};
    if (found == RestoreFile::Unusable)
        return Failed(SwitchFailure::UnusableFile, std::wstring(), ERROR_SUCCESS);
    std::vector<std::wstring> names;
    DWORD error = ERROR_SUCCESS;
    // Without the list, no entry is known to be gone: each is tried by its name.
    bool listed = store.List(names, error);
    SwitchResult result;
    for (const ConnectionProxy& own : saved.Connections) {
        if (listed && !own.Connection.empty() && !Listed(names, own.Connection))
            continue;
        ConnectionProxy now;
        bool read = store.Read(own.Connection, now, error);
        // One the user has set otherwise since is theirs now.
        if (read && !NamesAddress(now, saved.Address))
            continue;
        if ((!read || !store.Write(own, error)) && result.Failure == SwitchFailure::None)
            result = Failed(SwitchFailure::NotGivenBack, own.Connection, error);
    }
    store.Announce();
    if (result.Failure != SwitchFailure::None)
        return result;
    // One that would not go does no harm: no connection names the address it holds any more.
    DeleteFileW(file.c_str());
    return result;
}
