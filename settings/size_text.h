// Reading the cache size that the user typed.
#pragma once

// Takes leading white space, an optional sign and the digits that follow; the rest of the text
// is ignored, so "300 MB" gives 300. False, with value untouched, when the text does not begin
// with a number or the number does not fit a signed 32-bit integer.
bool ParseCacheSize(const wchar_t* text, int& value);
