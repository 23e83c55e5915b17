#include "cache/trim_rules.h"

#include <windows.h>

namespace {

constexpr int DEFAULT_PERIOD_MIN = 120;
// 35,791 minutes is the last whole minute below USER_TIMER_MAXIMUM (0x7FFFFFFF ms).
constexpr int LONGEST_PERIOD_MIN = 35791;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Position of the next separator at or after from, or the length.
size_t ComponentEnd(const std::wstring& path, size_t from)
{
    while (from < path.size() && !IsSeparator(path[from]))
        ++from;
    return from;
}

bool OnlySeparatorsFrom(const std::wstring& path, size_t from)
{
    for (; from < path.size(); ++from) {
        if (!IsSeparator(path[from]))
            return false;
    }
    return true;
}

}  // namespace

int64_t TrimLimitBytes(int cacheSizeMB)
{
    if (cacheSizeMB <= 0)
        return 0;
    return static_cast<int64_t>(cacheSizeMB) * 1048576;
}

unsigned TrimPeriodMs(int trimIntervalMin)
{
    int minutes = trimIntervalMin;
    if (minutes <= 0)
        minutes = DEFAULT_PERIOD_MIN;
    if (minutes > LONGEST_PERIOD_MIN)
        minutes = LONGEST_PERIOD_MIN;
    return static_cast<unsigned>(minutes) * 60000u;
}

bool IsVolumeRoot(const std::wstring& path)
{
    std::wstring rest = path;
    // "\\?\C:\" and "\\.\C:\" name the same root as "C:\"; "\\?\UNC\server\share" a share.
    if (rest.size() >= 4 && IsSeparator(rest[0]) && IsSeparator(rest[1]) &&
        (rest[2] == L'?' || rest[2] == L'.') && IsSeparator(rest[3])) {
        rest = rest.substr(4);
        // "\\?\Volume{...}\" and "\\?\GLOBALROOT\Device\HarddiskVolume1\" name a volume itself.
        size_t first = ComponentEnd(rest, 0);
        std::wstring head = rest.substr(0, first);
        if (head.size() > 7 && _wcsnicmp(head.c_str(), L"Volume{", 7) == 0)
            return OnlySeparatorsFrom(rest, first);
        if (_wcsicmp(head.c_str(), L"GLOBALROOT") == 0) {
            size_t device = ComponentEnd(rest, first + 1);
            return device + 1 >= rest.size() || OnlySeparatorsFrom(rest, ComponentEnd(rest, device + 1));
        }
        if (rest.size() >= 4 && (rest.compare(0, 3, L"UNC") == 0 || rest.compare(0, 3, L"unc") == 0) &&
            IsSeparator(rest[3]))
            rest = L"\\\\" + rest.substr(4);
    }

    if (rest.empty())
        return false;
    if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == L':')
        return OnlySeparatorsFrom(rest, 2);
    if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
        size_t server = ComponentEnd(rest, 2);
        if (server == 2)
            return true;  // nothing but separators
        size_t shareStart = server;
        while (shareStart < rest.size() && IsSeparator(rest[shareStart]))
            ++shareStart;
        size_t shareEnd = ComponentEnd(rest, shareStart);
        return OnlySeparatorsFrom(rest, shareEnd);
    }
    // "\" alone: the root of the current drive.
    return OnlySeparatorsFrom(rest, 0);
}

namespace {

// Upper case as the file system folds names: the same for every user's language.
std::wstring Folded(const std::wstring& text)
{
    if (text.empty())
        return text;
    std::wstring folded(text.size(), L'\0');
    int length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                              &folded[0], static_cast<int>(folded.size()));
    if (length != static_cast<int>(text.size()))
        return text;
    return folded;
}

// Backslashes only, no "\\?\" or "\\.\" in front, no trailing separator: the shape in which
// two spellings of one folder compare.
std::wstring Comparable(const std::wstring& path)
{
    std::wstring comparable = path;
    for (wchar_t& c : comparable) {
        if (c == L'/')
            c = L'\\';
    }
    if (comparable.compare(0, 4, L"\\\\?\\") == 0 || comparable.compare(0, 4, L"\\\\.\\") == 0) {
        comparable.erase(0, 4);
        if (comparable.size() >= 4 && Folded(comparable.substr(0, 4)) == L"UNC\\")
            comparable.replace(0, 4, L"\\\\");
    }
    while (!comparable.empty() && comparable.back() == L'\\')
        comparable.pop_back();
    return Folded(comparable);
}

}  // namespace

std::wstring FullPathOf(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    if (length == 0 || length >= full.size())
        return path;
    full.resize(length);
    return full;
}

std::wstring WithoutTrailingSeparator(const std::wstring& path)
{
    std::wstring trimmed = path;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) {
        // "C:\" keeps its separator: "C:" alone means the drive's current folder.
        if (trimmed.size() == 3 && trimmed[1] == L':')
            break;
        trimmed.pop_back();
    }
    return trimmed;
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer)
{
    std::wstring in = Comparable(inner);
    std::wstring out = Comparable(outer);
    if (out.empty() || in.size() < out.size() || in.compare(0, out.size(), out) != 0)
        return false;
    return in.size() == out.size() || in[out.size()] == L'\\';
}

std::wstring LongPathForm(const std::wstring& fullPath)
{
    const std::wstring& p = fullPath;
    if (p.size() >= 4 && p[0] == L'\\' && p[1] == L'\\' && (p[2] == L'?' || p[2] == L'.') && p[3] == L'\\')
        return p;
    std::wstring form = p;
    for (wchar_t& c : form) {
        if (c == L'/')
            c = L'\\';
    }
    if (form.size() >= 3 && IsDriveLetter(form[0]) && form[1] == L':' && form[2] == L'\\')
        return L"\\\\?\\" + form;
    if (form.size() >= 3 && form[0] == L'\\' && form[1] == L'\\' && form[2] != L'\\')
        return L"\\\\?\\UNC\\" + form.substr(2);
    return p;
}
