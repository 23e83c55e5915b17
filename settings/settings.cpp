#include "settings/settings.h"

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

Settings LoadSettings(const std::wstring& programDir)
{
    std::wstring file = programDir + L"kelvor.ini";
    if (!Exists(file))
        file = programDir + L"polipo.ini";
    std::wstring defaultCacheDir = programDir + L"cache";

    Settings settings;
    wchar_t cacheDir[MAX_PATH] = L"";
    GetPrivateProfileStringW(SETTINGS_SECTION, L"cache dir", defaultCacheDir.c_str(), cacheDir,
                             MAX_PATH, file.c_str());
    settings.CacheDir = cacheDir;
    settings.CacheSizeMB = static_cast<int>(
        GetPrivateProfileIntW(SETTINGS_SECTION, L"cache size", 200, file.c_str()));
    settings.TrimIntervalMin = static_cast<int>(
        GetPrivateProfileIntW(SETTINGS_SECTION, L"cache trim interval", 120, file.c_str()));
    return settings;
}

bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error)
{
    std::wstring file = programDir + L"kelvor.ini";
    std::wstring size = std::to_wstring(settings.CacheSizeMB);
    if (!WritePrivateProfileStringW(SETTINGS_SECTION, L"cache dir", settings.CacheDir.c_str(),
                                    file.c_str()) ||
        !WritePrivateProfileStringW(SETTINGS_SECTION, L"cache size", size.c_str(), file.c_str())) {
        error = GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}
