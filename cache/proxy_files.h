// What the proxy's own files in its cache folder look like, and when each was last used: a
// pass counts and deletes these and nothing else.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// True for the name the proxy gives an object's file: the MD5 of its URL in base64, "-" for "/",
// that is 22 characters of A-Z a-z 0-9 + - followed by "==". The 22nd carries only the digest's
// last two bits, so it is always one of A Q g w.
bool IsProxyFileName(const wchar_t* name);
constexpr size_t PROXY_FILE_NAME_LENGTH = 24;

// True for the name the proxy gives the folder of one server: its host and port, every character
// other than A-Z a-z 0-9 . - _ written as "%" and two hex digits ("127.0.0.1%3A8080").
bool IsProxyHostFolder(const wchar_t* name);

// What orders a file in a pass: the later of its last-access and last-write times, as the
// directory listing gives them. Many volumes keep no access times, and the proxy rewrites an
// object's header in place each time it writes out a use of it.
uint64_t LastUseTime(const WIN32_FIND_DATAW& found);
