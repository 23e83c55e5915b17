#include "settings/proxy_restore.h"

namespace {

constexpr wchar_t HEAD[] = L"kelvor";
// No text a person writes: a key missing from the file reads as this.
constexpr wchar_t MISSING[] = L"\x1F";
constexpr DWORD VALUE_BUFFER = 32768;
// Far more dial-up and VPN entries than anybody keeps; a file with more is not kelvor's.
constexpr size_t MOST_CONNECTIONS = 1024;

std::wstring SectionOf(size_t index)
{
    return L"connection " + std::to_wstring(index + 1);
}

// Quoted, as the profile reader takes one pair of quotes off: blanks at either end survive.
bool AddLine(std::wstring& text, const wchar_t* key, const std::optional<std::wstring>& value)
{
    if (!value)
        return true;
    if (value->find_first_of(L"\r\n") != std::wstring::npos)
        return false;
    text += std::wstring(key) + L"=\"" + *value + L"\"\r\n";
    return true;
}

std::optional<std::wstring> ReadText(const std::wstring& file, const std::wstring& section, const wchar_t* key)
{
    std::wstring value(VALUE_BUFFER, L'\0');
    DWORD length = GetPrivateProfileStringW(section.c_str(), key, MISSING, &value[0], VALUE_BUFFER, file.c_str());
    value.resize(length);
    if (value == MISSING)
        return std::nullopt;
    return value;
}

// Digits only, within 32 bits: flags that are anything else were not written by kelvor, and
// WinINet must not be given a guess.
bool ParseFlags(const std::wstring& text, DWORD& flags)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    flags = static_cast<DWORD>(value);
    return true;
}

bool WriteWhole(const std::wstring& file, const void* data, DWORD bytes, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(handle, data, bytes, &written, nullptr) && written == bytes &&
              FlushFileBuffers(handle);
    if (!ok)
        error = GetLastError();
    CloseHandle(handle);
    return ok;
}

// data, through a file beside file that is flushed and then moved over it.
bool WriteInPlace(const std::wstring& file, const void* data, DWORD bytes, DWORD& error)
{
    std::wstring fresh = file + L".new";
    if (!WriteWhole(fresh, data, bytes, error)) {
        DeleteFileW(fresh.c_str());
        return false;
    }
    if (!MoveFileExW(fresh.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool SaveProxyRestore(const std::wstring& file, const SavedProxySettings& saved, DWORD& error)
{
    std::wstring text = L"\xFEFF[" + std::wstring(HEAD) + L"]\r\n";
    bool fits = AddLine(text, L"address", saved.Address);
    for (size_t i = 0; i < saved.Connections.size(); ++i) {
        const ConnectionProxy& connection = saved.Connections[i];
        text += L"[" + SectionOf(i) + L"]\r\nflags=" + std::to_wstring(connection.Flags) + L"\r\n";
        fits = fits && AddLine(text, L"name", connection.Connection) &&
               AddLine(text, L"proxy server", connection.Server) && AddLine(text, L"bypass", connection.Bypass) &&
               AddLine(text, L"auto config url", connection.AutoConfigUrl);
    }
    // A line break inside a value would end it early.
    if (!fits) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    return WriteInPlace(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), error);
}

RestoreFile LoadProxyRestore(const std::wstring& file, SavedProxySettings& saved)
{
    saved = SavedProxySettings{};
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RestoreFile::Absent
                                                                              : RestoreFile::Unusable;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RestoreFile::Unusable;
    SavedProxySettings loaded;
    loaded.Address = ReadText(file, HEAD, L"address").value_or(std::wstring());
    bool lan = false;
    for (size_t i = 0;; ++i) {
        std::optional<std::wstring> flags = ReadText(file, SectionOf(i), L"flags");
        if (!flags)
            break;
        ConnectionProxy connection;
        if (i == MOST_CONNECTIONS || !ParseFlags(*flags, connection.Flags))
            return RestoreFile::Unusable;
        connection.Connection = ReadText(file, SectionOf(i), L"name").value_or(std::wstring());
        connection.Server = ReadText(file, SectionOf(i), L"proxy server");
        connection.Bypass = ReadText(file, SectionOf(i), L"bypass");
        connection.AutoConfigUrl = ReadText(file, SectionOf(i), L"auto config url");
        lan = lan || connection.Connection.empty();
        loaded.Connections.push_back(connection);
    }
    // An empty or cut file, or one of another program's, holds no settings that could be given back.
    if (loaded.Address.empty() || !lan)
        return RestoreFile::Unusable;
    saved = loaded;
    return RestoreFile::Usable;
}

bool ReadProxyRestoreBytes(const std::wstring& file, std::string& bytes)
{
    bytes.clear();
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    char buffer[4096];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr) != 0) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(handle);
    return ok;
}

bool PutBackProxyRestore(const std::wstring& file, const std::string& bytes, DWORD& error)
{
    return WriteInPlace(file, bytes.data(), static_cast<DWORD>(bytes.size()), error);
}
