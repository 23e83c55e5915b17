#include "proxy/detect.h"

#include <windows.h>
#include <psapi.h>

#include <string>

namespace {

// The value Windows XP's headers give PROCESS_ALL_ACCESS; later headers define a wider mask
// that XP refuses.
constexpr DWORD PROCESS_ALL_ACCESS_XP = 0x1F0FFF;

// Windows compares file names without regard to case, by the invariant upper-case mapping.
std::wstring UpperCase(const wchar_t* text)
{
    std::wstring upper(text);
    if (!upper.empty())
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text, static_cast<int>(upper.size()), &upper[0],
                     static_cast<int>(upper.size()));
    return upper;
}

}  // namespace

bool IsProxyRunning(const wchar_t* imageName)
{
    DWORD ids[1000];
    DWORD bytes = 0;
    if (!EnumProcesses(ids, sizeof(ids), &bytes))
        return false;

    std::wstring name = UpperCase(imageName);
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS_XP, FALSE, ids[i]);
        if (!process)
            continue;
        HMODULE firstModule = nullptr;
        DWORD needed = 0;
        // One spare character: XP leaves a path that fills the buffer unterminated.
        wchar_t path[MAX_PATH + 1] = L"";
        if (EnumProcessModules(process, &firstModule, sizeof(firstModule), &needed))
            GetModuleFileNameExW(process, firstModule, path, MAX_PATH);
        CloseHandle(process);
        if (path[0] && UpperCase(path).find(name) != std::wstring::npos)
            return true;
    }
    return false;
}
