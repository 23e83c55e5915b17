#include "cache/trim_rules.h"

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
