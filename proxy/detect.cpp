#include "proxy/detect.h"

#include <windows.h>
#include <psapi.h>

#include <cwchar>

namespace {

// The value Windows XP's headers give PROCESS_ALL_ACCESS; later headers define a wider mask
// that XP refuses.
constexpr DWORD PROCESS_ALL_ACCESS_XP = 0x1F0FFF;

}  // namespace

bool IsProxyRunning(const wchar_t* imageName)
{
    DWORD ids[1000];
    DWORD bytes = 0;
    if (!EnumProcesses(ids, sizeof(ids), &bytes))
        return false;

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
        if (wcsstr(path, imageName))
            return true;
    }
    return false;
}
