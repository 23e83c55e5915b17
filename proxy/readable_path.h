// How a folder is written so that the proxy can read it.
#pragma once

#include <string>

// The proxy reads its command line in the ANSI code page: a name with characters outside it
// would reach the proxy as '?' or as a look-alike of another folder. Returns folder itself when
// it survives that, else its short name when the volume keeps short names and that survives
// (only a folder that exists has one), else empty.
std::wstring ProxyReadablePath(const std::wstring& folder);
