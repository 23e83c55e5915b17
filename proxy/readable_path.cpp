#include "proxy/readable_path.h"

#include <windows.h>

#include <vector>

namespace {

// Whether text goes into the ANSI code page unchanged: with best-fit mapping off, a look-alike
// counts as a loss too. (The settings file asks the same, for a reason of its own.)
bool FitsAnsiCodePage(const std::wstring& text)
{
    if (text.empty())
        return true;
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                        &lost);
    return !lost;
}

}  // namespace

std::wstring ProxyReadablePath(const std::wstring& folder)
{
    if (FitsAnsiCodePage(folder))
        return folder;
    DWORD size = GetShortPathNameW(folder.c_str(), nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(size);
    DWORD length = GetShortPathNameW(folder.c_str(), buffer.data(), size);
    if (length == 0 || length >= size)
        return std::wstring();
    std::wstring shortName(buffer.data(), length);
    return FitsAnsiCodePage(shortName) ? shortName : std::wstring();
}
