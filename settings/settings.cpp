#include "settings/settings.h"

#include <string>

#include "app/app_state.h"

namespace {

bool Exists(const std::wstring& path)
{
    // Any entry by that name counts, a folder too.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

}  // namespace

void LoadSettings()
{
    std::wstring dir = App.ProgramDir;
    std::wstring file = dir + L"kelvor.ini";
    if (!Exists(file))
        file = dir + L"polipo.ini";
    std::wstring defaultCacheDir = dir + L"cache";

    GetPrivateProfileStringW(App.AppName, L"cache dir", defaultCacheDir.c_str(), App.CacheDir,
                             MAX_PATH, file.c_str());
    App.CacheSizeMB = static_cast<int>(
        GetPrivateProfileIntW(App.AppName, L"cache size", 200, file.c_str()));
    App.TrimIntervalMin = static_cast<int>(
        GetPrivateProfileIntW(App.AppName, L"cache trim interval", 120, file.c_str()));
}

void SaveSettings()
{
    std::wstring file = std::wstring(App.ProgramDir) + L"kelvor.ini";
    wchar_t size[100];
    wsprintfW(size, L"%d", App.CacheSizeMB);
    WritePrivateProfileStringW(App.AppName, L"cache dir", App.CacheDir, file.c_str());
    WritePrivateProfileStringW(App.AppName, L"cache size", size, file.c_str());
}
