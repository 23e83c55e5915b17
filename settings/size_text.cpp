#include "settings/size_text.h"

#include <climits>
#include <cwctype>

bool ParseCacheSize(const wchar_t* text, int& value)
{
    while (std::iswspace(*text))
        ++text;
    bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+')
        ++text;
    if (*text < L'0' || *text > L'9')
        return false;

    // Magnitudes are gathered as 64-bit values and checked digit by digit, so no digit string
    // can wrap round into a plausible size.
    long long magnitude = 0;
    const long long largest = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = magnitude * 10 + (*text - L'0');
        if (magnitude > largest)
            return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}
