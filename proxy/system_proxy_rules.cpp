#include "proxy/system_proxy_rules.h"

#include <wininet.h>

namespace {

// Names without a dot, the loopback names and the private IPv4 ranges.
std::vector<std::wstring> LocalAddresses()
{
    std::vector<std::wstring> entries = {L"<local>", L"localhost", L"127.*", L"10.*"};
    for (int second = 16; second <= 31; ++second)
        entries.push_back(L"172." + std::to_wstring(second) + L".*");
    entries.push_back(L"192.168.*");
    return entries;
}

bool Listed(const std::vector<std::wstring>& entries, const std::wstring& entry)
{
    for (const std::wstring& listed : entries) {
        if (lstrcmpiW(listed.c_str(), entry.c_str()) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::wstring BypassWithLocalAddresses(const std::optional<std::wstring>& own)
{
    // WinINet reads the list as entries between semicolons, blanks around them ignored.
    std::vector<std::wstring> entries;
    std::wstring text = own.value_or(std::wstring()) + L";";
    size_t start = 0;
    for (size_t end = text.find(L';'); end != std::wstring::npos; start = end + 1, end = text.find(L';', start)) {
        std::wstring entry = text.substr(start, end - start);
        size_t first = entry.find_first_not_of(L" \t");
        if (first == std::wstring::npos)
            continue;
        entry = entry.substr(first, entry.find_last_not_of(L" \t") - first + 1);
        if (!Listed(entries, entry))
            entries.push_back(entry);
    }
    for (const std::wstring& entry : LocalAddresses()) {
        if (!Listed(entries, entry))
            entries.push_back(entry);
    }
    std::wstring list;
    for (const std::wstring& entry : entries)
        list += (list.empty() ? L"" : L";") + entry;
    return list;
}

ConnectionProxy PointedAt(const ConnectionProxy& own, const std::wstring& address)
{
    ConnectionProxy pointed = own;
    pointed.Flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
    pointed.Server = address;
    pointed.Bypass = BypassWithLocalAddresses(own.Bypass);
    return pointed;
}

bool NamesAddress(const ConnectionProxy& now, const std::wstring& address)
{
    return (now.Flags & PROXY_TYPE_PROXY) && now.Server && lstrcmpiW(now.Server->c_str(), address.c_str()) == 0;
}

std::vector<ConnectionProxy> OwnSettings(const std::vector<ConnectionProxy>& current,
                                         const std::vector<ConnectionProxy>& saved,
                                         const std::wstring& savedAddress)
{
    std::vector<ConnectionProxy> own;
    for (const ConnectionProxy& now : current) {
        const ConnectionProxy* kept = nullptr;
        for (const ConnectionProxy& before : saved) {
            if (before.Connection == now.Connection)
                kept = &before;
        }
        own.push_back(kept && NamesAddress(now, savedAddress) ? *kept : now);
    }
    return own;
}
