// Reading a number that a person wrote, in the settings file or in the Settings dialog.
#pragma once

#include <string>

// True when text is one whole number that fits a signed 32-bit integer: an optional sign and
// decimal digits, with white space around them allowed and nothing else. False, with value
// untouched, for anything else ("", "abc", "300 MB", "3000000000"): such text is not guessed at.
bool ParseWholeNumber(const std::wstring& text, int& value);
