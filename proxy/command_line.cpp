#include "proxy/command_line.h"

std::wstring& ReplaceAll(std::wstring& target, std::wstring pattern, std::wstring replacement)
{
    if (pattern.empty())
        return target;
    size_t at = 0;
    while ((at = target.find(pattern, at)) != std::wstring::npos) {
        target.replace(at, pattern.size(), replacement);
        at += replacement.size();
    }
    return target;
}

std::wstring EscapeCachePath(const std::wstring& directory)
{
    std::wstring escaped = directory;
    ReplaceAll(escaped, L"\\", L"/");
    ReplaceAll(escaped, L" ", L"\\ ");
    return escaped;
}

std::wstring ProxyCommandLine(const std::wstring& programDir, const std::wstring& cacheDir,
                              bool purge, bool offline)
{
    std::wstring line = L"\"";
    line += programDir;
    line += L"polipo.exe";
    line += L"\"";
    if (purge)
        line += L" -x";
    // The proxy reads the root as a quoted value of its own, so the quotes are escaped for the
    // Windows argument splitter: the proxy sees diskCacheRoot="<escaped path>".
    line += L" -c config diskCacheRoot=\"\\\"";
    line += EscapeCachePath(cacheDir);
    line += L"\\\"\"";
    line += L" logFile=";
    line += L"polipo.log";
    // The proxy reads its config before its arguments: the choice holds whatever the config says.
    if (offline)
        line += L" proxyOffline=true";
    return line;
}
