#include "app/state/program_dir.h"

#include <windows.h>

#include <vector>

namespace {

// The longest name kelvor appends: the restore file's fresh copy, "proxy-restore.ini.new". A
// folder that takes it takes "kelvor.ini.new", "polipo-output.log" and the rest too.
constexpr size_t LONGEST_APPENDED_NAME = sizeof("proxy-restore.ini.new") - 1;

}  // namespace

std::wstring ProgramDirOf(const std::wstring& modulePath)
{
    size_t lastSeparator = modulePath.find_last_of(L"\\/");
    std::wstring dir =
        lastSeparator == std::wstring::npos ? std::wstring() : modulePath.substr(0, lastSeparator + 1);
    // A bare "C:kelvor.exe" still names a folder: the drive's current one.
    if (dir.empty() && modulePath.size() >= 2 && modulePath[1] == L':')
        dir = modulePath.substr(0, 2);
    if (dir.empty() || (dir.back() != L'\\' && dir.back() != L'/'))
        dir += L'\\';
    return dir;
}

bool ProgramDirFits(const std::wstring& dir)
{
    return dir.size() + LONGEST_APPENDED_NAME < MAX_PATH;
}

std::wstring OwnExecutablePath()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        // A full buffer means the path may have been cut.
        if (length < path.size())
            return std::wstring(path.data(), length);
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}
