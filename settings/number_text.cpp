#include "settings/number_text.h"

#include <climits>

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

}  // namespace

bool ParseWholeNumber(const std::wstring& text, int& value)
{
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    bool negative = at < text.size() && text[at] == L'-';
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+'))
        ++at;
    if (at == text.size() || text[at] < L'0' || text[at] > L'9')
        return false;

    // Gathered in 64 bits and checked digit by digit, so no digit string can wrap round into a
    // plausible number.
    long long magnitude = 0;
    const long long largest = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - L'0');
        if (magnitude > largest)
            return false;
    }
    while (at < text.size() && IsBlank(text[at]))
        ++at;
    if (at != text.size())
        return false;
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}
