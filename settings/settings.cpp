#include "settings/settings.h"

#include "settings/number_text.h"

namespace {

// Longer than any path Windows takes: a value that fills it has been cut.
constexpr DWORD VALUE_BUFFER = 32768;
// No text a person writes: a key missing from the file reads as this.
constexpr wchar_t MISSING[] = L"\x1F";

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

// The value of key, or fallback when the key is missing; cut is set when the value did not fit.
std::wstring ReadValue(const std::wstring& file, const wchar_t* key, const wchar_t* fallback, bool& cut)
{
    std::wstring value(VALUE_BUFFER, L'\0');
    DWORD length = GetPrivateProfileStringW(SETTINGS_SECTION, key, fallback, &value[0], VALUE_BUFFER,
                                            file.c_str());
    cut = length >= VALUE_BUFFER - 1;
    value.resize(length);
    return value;
}

void ReadNumber(Settings& settings, const std::wstring& file, const wchar_t* key, int unusable, int& number)
{
    bool cut = false;
    std::wstring text = ReadValue(file, key, MISSING, cut);
    if (text == MISSING)
        return;
    if (!ParseWholeNumber(text, number)) {
        number = unusable;
        settings.Unusable.push_back(UnusableValue{key, text});
    }
}

// An empty file that the profile functions then write as UTF-16.
bool CreateUnicodeFile(const std::wstring& file, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    const unsigned char byteOrderMark[] = {0xFF, 0xFE};
    DWORD written = 0;
    bool ok = WriteFile(handle, byteOrderMark, sizeof(byteOrderMark), &written, nullptr) &&
              written == sizeof(byteOrderMark);
    if (!ok)
        error = GetLastError();
    CloseHandle(handle);
    if (!ok)
        DeleteFileW(file.c_str());
    return ok;
}

bool WriteValue(const std::wstring& file, const wchar_t* key, const std::wstring& value, DWORD& error)
{
    if (WritePrivateProfileStringW(SETTINGS_SECTION, key, value.c_str(), file.c_str()))
        return true;
    error = GetLastError();
    return false;
}

}  // namespace

Settings LoadSettings(const std::wstring& programDir)
{
    Settings settings;
    settings.CacheDir = programDir + L"cache";
    std::wstring file = programDir + L"kelvor.ini";
    if (!Exists(file)) {
        file = programDir + L"polipo.ini";
        if (!Exists(file))
            return settings;
        settings.FromLegacyFile = true;
    }
    settings.File = file;

    settings.CacheDir = ReadValue(file, L"cache dir", settings.CacheDir.c_str(), settings.CacheDirCut);
    ReadNumber(settings, file, L"cache size", 0, settings.CacheSizeMB);
    ReadNumber(settings, file, L"cache trim interval", 120, settings.TrimIntervalMin);
    return settings;
}

bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error)
{
    error = ERROR_SUCCESS;
    std::wstring file = programDir + L"kelvor.ini";
    if (!Exists(file)) {
        if (!CreateUnicodeFile(file, error))
            return false;
        // The trim interval and whatever else the older file held are not lost with it.
        if (settings.FromLegacyFile) {
            std::wstring section(VALUE_BUFFER, L'\0');
            DWORD length = GetPrivateProfileSectionW(SETTINGS_SECTION, &section[0], VALUE_BUFFER,
                                                     (programDir + L"polipo.ini").c_str());
            if (length > 0 && !WritePrivateProfileSectionW(SETTINGS_SECTION, section.c_str(), file.c_str())) {
                error = GetLastError();
                return false;
            }
        }
    }
    return WriteValue(file, L"cache dir", settings.CacheDir, error) &&
           WriteValue(file, L"cache size", std::to_wstring(settings.CacheSizeMB), error);
}
