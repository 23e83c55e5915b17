#include "settings/settings.h"

#include "settings/number_text.h"

#include <climits>
#include <vector>

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

// A settings file is a few lines: one of 16 MiB or more is not read, let alone rewritten.
constexpr LONGLONG LARGEST_FILE = 1 << 24;

// The forms of text that kelvor reads a settings file in. Utf8Unmarked is UTF-8 without a
// byte-order mark, as Notepad saves it since Windows 10 1903.
enum class TextForm { Ansi, Utf16, Utf8, Utf8Unmarked, Unreadable };

const char UTF16_MARK[] = "\xFF\xFE";
const char UTF8_MARK[] = "\xEF\xBB\xBF";

bool StartsWith(const std::string& bytes, const char* mark, size_t length)
{
    return bytes.size() >= length && bytes.compare(0, length, mark, length) == 0;
}

// The whole file; false with the system's error code when it cannot be read.
bool ReadBytes(const std::wstring& file, std::string& bytes, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(handle, &size) != 0;
    error = ok ? ERROR_FILE_TOO_LARGE : GetLastError();
    ok = ok && size.QuadPart < LARGEST_FILE;
    DWORD read = 0;
    if (ok) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        ok = bytes.empty() || ReadFile(handle, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
        error = GetLastError();
        bytes.resize(read);
    }
    CloseHandle(handle);
    return ok;
}

// The text of bytes in code page, or false when it is no valid text there.
bool Decoded(const char* bytes, size_t length, UINT codePage, std::wstring& text)
{
    text.clear();
    if (length == 0)
        return true;
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int count = MultiByteToWideChar(codePage, flags, bytes, static_cast<int>(length), nullptr, 0);
    if (count <= 0)
        return false;
    text.resize(static_cast<size_t>(count));
    return MultiByteToWideChar(codePage, flags, bytes, static_cast<int>(length), &text[0], count) == count;
}

TextForm FormOf(const std::string& bytes)
{
    // UTF-32 in either order, and UTF-16 big-endian, which the profile functions of some systems
    // read as ANSI.
    if (StartsWith(bytes, "\xFF\xFE\0\0", 4) || StartsWith(bytes, "\0\0\xFE\xFF", 4) ||
        StartsWith(bytes, "\xFE\xFF", 2))
        return TextForm::Unreadable;
    if (StartsWith(bytes, UTF16_MARK, 2))
        return TextForm::Utf16;
    std::wstring text;
    if (StartsWith(bytes, UTF8_MARK, 3))
        return Decoded(bytes.data() + 3, bytes.size() - 3, CP_UTF8, text) ? TextForm::Utf8 : TextForm::Unreadable;
    // ANSI text with a byte above 0x7F is almost never valid UTF-8 as well; plain ASCII reads the
    // same either way.
    bool high = false;
    for (char byte : bytes)
        high = high || static_cast<unsigned char>(byte) > 0x7F;
    if (high && Decoded(bytes.data(), bytes.size(), CP_UTF8, text))
        return TextForm::Utf8Unmarked;
    return TextForm::Ansi;
}

bool IsUtf8(TextForm form)
{
    return form == TextForm::Utf8 || form == TextForm::Utf8Unmarked;
}

// bytes of form as UTF-16 with its mark, which the profile functions of every system read and
// write without loss.
std::string AsUtf16(const std::string& bytes, TextForm form)
{
    std::wstring text;
    size_t mark = form == TextForm::Utf8 ? 3 : 0;
    if (IsUtf8(form))
        Decoded(bytes.data() + mark, bytes.size() - mark, CP_UTF8, text);
    else
        Decoded(bytes.data(), bytes.size(), CP_ACP, text);
    return std::string(UTF16_MARK, 2) +
           std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

bool WriteNewFile(const std::wstring& file, const std::string& bytes, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0;
    if (!ok)
        error = GetLastError();
    else if (written != bytes.size())
        error = ERROR_DISK_FULL;
    ok = ok && written == bytes.size();
    CloseHandle(handle);
    return ok;
}

// On the disk, not only in the system's cache, before it takes the place of the old file.
bool Flush(const std::wstring& file, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    if (!ok)
        error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
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

// A UTF-16 copy of a UTF-8 file in the temporary folder, for the profile functions, which read
// UTF-8 as ANSI on some systems; removed at the end of the scope.
struct ReadableCopy {
    std::wstring Path;
    ReadableCopy(const std::wstring& file, bool& unreadable)
    {
        unreadable = false;
        std::string bytes;
        DWORD error = ERROR_SUCCESS;
        if (!ReadBytes(file, bytes, error))
            return;  // the profile functions say what there is to say
        TextForm form = FormOf(bytes);
        unreadable = form == TextForm::Unreadable;
        wchar_t folder[MAX_PATH + 1] = L"";
        wchar_t name[MAX_PATH + 1] = L"";
        if (!IsUtf8(form) || !GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"kel", 0, name))
            return;
        if (WriteNewFile(name, AsUtf16(bytes, form), error))
            Path = name;
        else
            DeleteFileW(name);
    }
    ~ReadableCopy()
    {
        if (!Path.empty())
            DeleteFileW(Path.c_str());
    }
    ReadableCopy(const ReadableCopy&) = delete;
    ReadableCopy& operator=(const ReadableCopy&) = delete;
};

bool WriteValue(const std::wstring& file, const wchar_t* key, const std::wstring& value, DWORD& error)
{
    if (WritePrivateProfileStringW(SETTINGS_SECTION, key, value.c_str(), file.c_str()))
        return true;
    error = GetLastError();
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

std::wstring FolderAsTyped(const std::wstring& text)
{
    std::wstring folder = WithoutBlanks(text);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
        folder = WithoutBlanks(folder.substr(1, folder.size() - 2));
    return folder;
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
    ReadableCopy copy(file, settings.Unreadable);
    if (settings.Unreadable)
        return settings;
    const std::wstring& from = copy.Path.empty() ? file : copy.Path;

    settings.CacheDir =
        FolderAsTyped(ReadValue(from, L"cache dir", settings.CacheDir.c_str(), settings.CacheDirCut));
    // Any whole size is meant: 0 and below switch trimming off. An interval is a window timer's.
    ReadNumber(settings, from, L"cache size", INT_MIN, INT_MAX, 0, settings.CacheSizeMB);
    ReadNumber(settings, from, L"cache trim interval", 1, LONGEST_INTERVAL_MIN, 120, settings.TrimIntervalMin);
    bool cut = false;
    settings.SystemProxy = WithoutBlanks(ReadValue(from, L"system proxy", L"0", cut)) == L"1";
    settings.Offline = WithoutBlanks(ReadValue(from, L"offline", L"0", cut)) == L"1";
    return settings;
}

namespace {

struct Value {
    const wchar_t* Key;
    std::wstring Text;
};

// Writes values into kelvor.ini without ever rewriting it in place: a new file beside it starts
// from the old one (or, for the first save after polipo.ini, from that file's keys), takes the
// values, is read back where a value must come back as written, flushed, and only then moved over
// the old file. Any failure leaves the old file as it was.
bool SaveValues(const std::wstring& programDir, const Settings& settings, const std::vector<Value>& values,
                const wchar_t* mustReadBack, DWORD& error)
{
    error = ERROR_SUCCESS;
    std::wstring file = programDir + L"kelvor.ini";
    std::wstring next = file + L".new";
    bool fitsCodePage = true;
    for (const Value& value : values)
        fitsCodePage = fitsCodePage && FitsAnsiCodePage(value.Text);
    // What the new file starts from: the old one, in a form that keeps every character of the
    // values; a mark alone when there is none.
    std::string start(UTF16_MARK, 2);
    bool existed = Exists(file);
    if (existed) {
        if (!ReadBytes(file, start, error))
            return false;
        TextForm form = FormOf(start);
        if (form == TextForm::Unreadable) {
            error = ERROR_UNSUPPORTED_TYPE;
            return false;
        }
        if (IsUtf8(form) || (form == TextForm::Ansi && !fitsCodePage))
            start = AsUtf16(start, form);
    }
    if (!WriteNewFile(next, start, error))
        return false;
    bool saved = true;
    // The trim interval and whatever else the older file held are not lost with it.
    if (!existed && settings.FromLegacyFile) {
        std::wstring section(VALUE_BUFFER, L'\0');
        DWORD length = GetPrivateProfileSectionW(SETTINGS_SECTION, &section[0], VALUE_BUFFER,
                                                 (programDir + L"polipo.ini").c_str());
        if (length > 0 && !WritePrivateProfileSectionW(SETTINGS_SECTION, section.c_str(), next.c_str())) {
            error = GetLastError();
            saved = false;
        }
    }
    for (const Value& value : values)
        saved = saved && WriteValue(next, value.Key, value.Text, error);
    // A value that would come back otherwise than written is not saved, whatever the file says.
    for (const Value& value : values) {
        bool cut = false;
        if (saved && mustReadBack && lstrcmpW(value.Key, mustReadBack) == 0 &&
            ReadValue(next, value.Key, MISSING, cut) != WithoutBlanks(value.Text)) {
            error = ERROR_NO_UNICODE_TRANSLATION;
            saved = false;
        }
    }
    saved = saved && Flush(next, error);
    if (saved && !MoveFileExW(next.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        saved = false;
    }
    if (!saved)
        DeleteFileW(next.c_str());
    return saved;
}

}  // namespace

bool SaveSettings(const std::wstring& programDir, const Settings& settings, DWORD& error)
{
    return SaveValues(programDir, settings,
                      {{L"cache dir", settings.CacheDir}, {L"cache size", std::to_wstring(settings.CacheSizeMB)}},
                      L"cache dir", error);
}

bool SaveSystemProxyChoice(const std::wstring& programDir, const Settings& settings, bool on, DWORD& error)
{
    return SaveValues(programDir, settings, {{L"system proxy", on ? L"1" : L"0"}}, nullptr, error);
}

bool SaveOfflineChoice(const std::wstring& programDir, const Settings& settings, bool on, DWORD& error)
{
    return SaveValues(programDir, settings, {{L"offline", on ? L"1" : L"0"}}, nullptr, error);
}
