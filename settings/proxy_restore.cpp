#include "settings/proxy_restore.h"

namespace {

constexpr wchar_t HEAD[] = L"kelvor";
// No text a person writes: a key missing from the file reads as this.
constexpr wchar_t MISSING[] = L"\x1F";
constexpr DWORD VALUE_BUFFER = 32768;

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

bool WriteWhole(const std::wstring& file, const std::wstring& text, DWORD& error)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    bool ok = WriteFile(handle, text.data(), bytes, &written, nullptr) && written == bytes &&
              FlushFileBuffers(handle);
    if (!ok)
        error = GetLastError();
    CloseHandle(handle);
    return ok;
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
    std::wstring fresh = file + L".new";
    if (!WriteWhole(fresh, text, error)) {
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

bool LoadProxyRestore(const std::wstring& file, SavedProxySettings& saved)
{
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    saved = SavedProxySettings{};
    saved.Address = ReadText(file, HEAD, L"address").value_or(std::wstring());
    for (size_t i = 0;; ++i) {
        std::optional<std::wstring> flags = ReadText(file, SectionOf(i), L"flags");
        if (!flags)
            break;
        ConnectionProxy connection;
        connection.Connection = ReadText(file, SectionOf(i), L"name").value_or(std::wstring());
        connection.Flags = static_cast<DWORD>(wcstoul(flags->c_str(), nullptr, 10));
        connection.Server = ReadText(file, SectionOf(i), L"proxy server");
        connection.Bypass = ReadText(file, SectionOf(i), L"bypass");
        connection.AutoConfigUrl = ReadText(file, SectionOf(i), L"auto config url");
        saved.Connections.push_back(connection);
    }
    return true;
}
