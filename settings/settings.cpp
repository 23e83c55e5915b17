#include "settings/settings.h"

#include "settings/number_text.h"

#include <climits>

namespace {

// Longer than any path Windows takes: a value that fills it has been cut.
constexpr DWORD VALUE_BUFFER = 32768;
// The longest period a window timer takes, in whole minutes.
constexpr int LONGEST_INTERVAL_MIN = 35791;
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

// A number of the file, or unusable, listed, when it is no whole number from lowest to highest.
void ReadNumber(Settings& settings, const std::wstring& file, const wchar_t* key, int lowest, int highest,
                int unusable, int& number)
{
    bool cut = false;
    std::wstring text = ReadValue(file, key, MISSING, cut);
    if (text == MISSING)
        return;
    int read = 0;
    if (ParseWholeNumber(text, read) && read >= lowest && read <= highest) {
        number = read;
        return;
    }
    number = unusable;
    settings.Unusable.push_back(UnusableValue{key, text});
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

bool FitsAnsiCodePage(const std::wstring& text)
{
    if (text.empty())
        return true;
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                        &lost);
    return !lost;
}

// Rewrites an existing file in the ANSI code page as UTF-16, so that the profile functions keep
// characters outside that code page. A file that is UTF-16 already is left as it is.
bool MakeUnicodeFile(const std::wstring& file, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    // A settings file is a few lines: one of 16 MiB or more is not read, let alone rewritten.
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size) || size.QuadPart >= (1 << 24)) {
        error = size.QuadPart >= (1 << 24) ? ERROR_FILE_TOO_LARGE : GetLastError();
        CloseHandle(handle);
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(handle, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        error = GetLastError();
        CloseHandle(handle);
        return false;
    }
    bytes.resize(read);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        CloseHandle(handle);
        return true;
    }
    std::wstring text(bytes.size(), L'\0');
    int length = bytes.empty() ? 0
                               : MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                                     static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(length));
    text.insert(text.begin(), L'\xFEFF');
    DWORD written = 0;
    LARGE_INTEGER start{};
    bool ok = SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) &&
         WriteFile(handle, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr) &&
         written == text.size() * sizeof(wchar_t) && SetEndOfFile(handle);
    if (!ok)
        error = GetLastError();
    CloseHandle(handle);
    return ok;
}

bool WriteValue(const std::wstring& file, const wchar_t* key, const std::wstring& value, DWORD& error)
{
    if (WritePrivateProfileStringW(SETTINGS_SECTION, key, value.c_str(), file.c_str()))
        return true;
    error = GetLastError();
    return false;
}

// kelvor.ini made ready for the profile writer: created as UTF-16 when absent (with every key of
// a polipo.ini the settings came from), made UTF-16 when its code page cannot hold what is to be
// written. created tells whether this call made the file.
bool PrepareFile(const std::wstring& programDir, const Settings& settings, bool fitsCodePage, bool& created,
                 DWORD& error)
{
    error = ERROR_SUCCESS;
    std::wstring file = programDir + L"kelvor.ini";
    created = false;
    if (Exists(file))
        return fitsCodePage || MakeUnicodeFile(file, error);
    if (!CreateUnicodeFile(file, error))
        return false;
    created = true;
    // The trim interval and whatever else the older file held are not lost with it.
    if (!settings.FromLegacyFile)
        return true;
    std::wstring section(VALUE_BUFFER, L'\0');
    DWORD length = GetPrivateProfileSectionW(SETTINGS_SECTION, &section[0], VALUE_BUFFER,
                                             (programDir + L"polipo.ini").c_str());
    if (length == 0 || WritePrivateProfileSectionW(SETTINGS_SECTION, section.c_str(), file.c_str()))
        return true;
    error = GetLastError();
    DeleteFileW(file.c_str());
    created = false;
    return false;
}

}  // namespace

std::wstring WithoutBlanks(const std::wstring& text)
{
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

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
    // Any whole size is meant: 0 and below switch trimming off. An interval is a window timer's.
    ReadNumber(settings, file, L"cache size", INT_MIN, INT_MAX, 0, settings.CacheSizeMB);
    ReadNumber(settings, file, L"cache trim interval", 1, LONGEST_INTERVAL_MIN, 120, settings.TrimIntervalMin);
    bool cut = false;
    settings.SystemProxy = WithoutBlanks(ReadValue(file, L"system proxy", L"0", cut)) == L"1";
    return settings;
}

bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error)
{
    std::wstring file = programDir + L"kelvor.ini";
    bool created = false;
    if (!PrepareFile(programDir, settings, FitsAnsiCodePage(settings.CacheDir), created, error))
        return false;
    bool saved = WriteValue(file, L"cache dir", settings.CacheDir, error) &&
                 WriteValue(file, L"cache size", std::to_wstring(settings.CacheSizeMB), error);
    // A folder that would come back otherwise than written is not saved, whatever the file says.
    bool cut = false;
    if (saved && ReadValue(file, L"cache dir", MISSING, cut) != WithoutBlanks(settings.CacheDir)) {
        error = ERROR_NO_UNICODE_TRANSLATION;
        saved = false;
    }
    // A kelvor.ini left half written would hide polipo.ini at the next start.
    if (!saved && created)
        DeleteFileW(file.c_str());
    return saved;
}

bool SaveSystemProxyChoice(const std::wstring& programDir, const Settings& settings, bool on, DWORD& error)
{
    std::wstring file = programDir + L"kelvor.ini";
    bool created = false;
    if (!PrepareFile(programDir, settings, true, created, error))
        return false;
    if (WriteValue(file, L"system proxy", on ? L"1" : L"0", error))
        return true;
    if (created)
        DeleteFileW(file.c_str());
    return false;
}
