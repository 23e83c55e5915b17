#include "proxy/internet_options.h"

#include <wininet.h>
#include <ras.h>
#include <raserror.h>

namespace {

// Windows 7's name for the flags as the Internet Options dialog shows them; older WinINet does
// not know it and is asked for INTERNET_PER_CONN_FLAGS instead.
constexpr DWORD PER_CONN_FLAGS_UI = 10;

using EnumEntries = DWORD(WINAPI*)(LPCWSTR, LPCWSTR, LPRASENTRYNAMEW, LPDWORD, LPDWORD);

// Taken from the system folder when needed, so a DLL of that name beside kelvor is never run.
HMODULE RasLibrary()
{
    static HMODULE library = [] {
        wchar_t folder[MAX_PATH] = L"";
        UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return HMODULE(nullptr);
        return LoadLibraryW((std::wstring(folder) + L"\\rasapi32.dll").c_str());
    }();
    return library;
}

std::optional<std::wstring> TakeText(LPWSTR text)
{
    if (!text)
        return std::nullopt;
    std::wstring copy = text;
    GlobalFree(text);
    return copy;
}

bool Query(const std::wstring& connection, INTERNET_PER_CONN_OPTIONW* options, DWORD count, DWORD& error)
{
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.pszConnection = connection.empty() ? nullptr : const_cast<LPWSTR>(connection.c_str());
    list.dwOptionCount = count;
    list.pOptions = options;
    DWORD size = sizeof(list);
    if (InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
        return true;
    error = GetLastError();
    return false;
}

}  // namespace

bool ListConnections(std::vector<std::wstring>& names, DWORD& error)
{
    names.assign(1, std::wstring());
    HMODULE library = RasLibrary();
    if (!library) {
        error = ERROR_MOD_NOT_FOUND;
        return false;
    }
    auto enumEntries = reinterpret_cast<EnumEntries>(reinterpret_cast<void*>(GetProcAddress(library, "RasEnumEntriesW")));
    if (!enumEntries) {
        error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    std::vector<RASENTRYNAMEW> entries(1);
    DWORD bytes = sizeof(RASENTRYNAMEW);
    DWORD count = 0;
    DWORD result = ERROR_BUFFER_TOO_SMALL;
    // The list may grow between the two calls: ask until it fits.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_TOO_SMALL; ++attempt) {
        entries.clear();
        entries.resize(bytes / sizeof(RASENTRYNAMEW) + 1);
        entries[0].dwSize = sizeof(RASENTRYNAMEW);
        bytes = static_cast<DWORD>(entries.size() * sizeof(RASENTRYNAMEW));
        result = enumEntries(nullptr, nullptr, entries.data(), &bytes, &count);
    }
    if (result != ERROR_SUCCESS) {
        error = result;
        return false;
    }
    for (DWORD i = 0; i < count && i < entries.size(); ++i)
        names.push_back(entries[i].szEntryName);
    return true;
}

bool ReadConnectionProxy(const std::wstring& connection, ConnectionProxy& proxy, DWORD& error)
{
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = PER_CONN_FLAGS_UI;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    if (!Query(connection, options, 4, error)) {
        options[0].dwOption = INTERNET_PER_CONN_FLAGS;
        if (error != ERROR_INVALID_PARAMETER || !Query(connection, options, 4, error))
            return false;
    }
    proxy.Connection = connection;
    proxy.Flags = options[0].Value.dwValue;
    proxy.Server = TakeText(options[1].Value.pszValue);
    proxy.Bypass = TakeText(options[2].Value.pszValue);
    proxy.AutoConfigUrl = TakeText(options[3].Value.pszValue);
    return true;
}

bool WriteConnectionProxy(const ConnectionProxy& proxy, DWORD& error)
{
    auto text = [](const std::optional<std::wstring>& value) {
        return value ? const_cast<LPWSTR>(value->c_str()) : nullptr;
    };
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[0].Value.dwValue = proxy.Flags;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].Value.pszValue = text(proxy.Server);
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].Value.pszValue = text(proxy.Bypass);
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[3].Value.pszValue = text(proxy.AutoConfigUrl);
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.pszConnection = proxy.Connection.empty() ? nullptr : const_cast<LPWSTR>(proxy.Connection.c_str());
    list.dwOptionCount = 4;
    list.pOptions = options;
    if (InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list)))
        return true;
    error = GetLastError();
    return false;
}

void AnnounceProxyChange()
{
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}
