#include "proxy/readable_path.h"

#include <windows.h>

#include <vector>

namespace {

// Whether text comes back whole from the ANSI code page. A round trip also catches the best-fit
// look-alikes that a plain conversion would not report.
bool SurvivesAnsi(const std::wstring& text)
{
    if (text.empty())
        return true;
    int length = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return false;
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, &narrow[0], bytes, nullptr, nullptr);
    int back = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), bytes, nullptr, 0);
    if (back <= 0)
        return false;
    std::wstring wide(static_cast<size_t>(back), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), bytes, &wide[0], back);
    return wide == text;
}

}  // namespace

std::wstring ProxyReadablePath(const std::wstring& folder)
{
    if (SurvivesAnsi(folder))
        return folder;
    DWORD size = GetShortPathNameW(folder.c_str(), nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(size);
    DWORD length = GetShortPathNameW(folder.c_str(), buffer.data(), size);
    if (length == 0 || length >= size)
        return std::wstring();
    std::wstring shortName(buffer.data(), length);
    return SurvivesAnsi(shortName) ? shortName : std::wstring();
}
