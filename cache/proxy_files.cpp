#include "cache/proxy_files.h"

namespace {

bool IsBase64Digit(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' ||
           c == L'-';
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// The characters the proxy writes as they are in a folder name; every other one it escapes.
bool IsKeptAsIs(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.' ||
           c == L'-' || c == L'_';
}

uint64_t FileTime64(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

bool IsProxyFileName(const wchar_t* name)
{
    for (int i = 0; i < 21; ++i) {
        if (!IsBase64Digit(name[i]))
            return false;
    }
    wchar_t last = name[21];
    return (last == L'A' || last == L'Q' || last == L'g' || last == L'w') && name[22] == L'=' &&
           name[23] == L'=' && name[24] == 0;
}

bool IsProxyHostFolder(const wchar_t* name)
{
    if (!name[0])
        return false;
    for (const wchar_t* at = name; *at; ++at) {
        if (*at == L'%') {
            if (!IsHexDigit(at[1]) || !IsHexDigit(at[2]))
                return false;
            at += 2;
        } else if (!IsKeptAsIs(*at)) {
            return false;
        }
    }
    return true;
}

uint64_t LastUseTime(const WIN32_FIND_DATAW& found)
{
    uint64_t access = FileTime64(found.ftLastAccessTime);
    uint64_t write = FileTime64(found.ftLastWriteTime);
    return access > write ? access : write;
}
