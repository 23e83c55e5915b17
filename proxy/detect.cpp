#include "proxy/detect.h"

#include <windows.h>
#include <psapi.h>

#include <string>
#include <vector>

namespace {

// PROCESS_QUERY_LIMITED_INFORMATION, which Windows Vista and later grant even for an elevated
// process; XP does not know it.
constexpr DWORD QUERY_LIMITED_INFORMATION = 0x1000;

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

std::wstring ImagePathOf(DWORD id)
{
    // No more rights than reading the image name needs: a proxy run as administrator must be
    // seen too.
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
    if (!process)
        process = OpenProcess(QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process)
        return std::wstring();
    HMODULE firstModule = nullptr;
    DWORD needed = 0;
    // One spare character: XP leaves a path that fills the buffer unterminated.
    wchar_t path[MAX_PATH + 1] = L"";
    if (EnumProcessModules(process, &firstModule, sizeof(firstModule), &needed))
        GetModuleFileNameExW(process, firstModule, path, MAX_PATH);
    // The modules of a 64-bit process cannot be listed from a 32-bit one, nor those of a process
    // opened with limited rights; its image name, in the device form, can be read.
    bool deviceForm = false;
    if (!path[0])
        deviceForm = GetProcessImageFileNameW(process, path, MAX_PATH) > 0;
    CloseHandle(process);
    return deviceForm ? L"\\\\?\\GLOBALROOT" + std::wstring(path) : std::wstring(path);
}

std::vector<ProcessImage> ProcessesNamed(const wchar_t* imageName)
{
    std::vector<ProcessImage> found;
    // A list that fills its buffer may have been cut short: it grows until every id fits.
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (;;) {
        DWORD room = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!EnumProcesses(ids.data(), room, &bytes))
            return found;
        if (bytes < room)
            break;
        ids.resize(ids.size() * 2);
    }

    std::wstring name = UpperCase(imageName);
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        std::wstring path = ImagePathOf(ids[i]);
        if (!path.empty() && UpperCase(path.c_str()).find(name) != std::wstring::npos)
            found.push_back(ProcessImage{ids[i], path});
    }
    return found;
}

bool IsProxyRunning(const wchar_t* imageName)
{
    return !ProcessesNamed(imageName).empty();
}
