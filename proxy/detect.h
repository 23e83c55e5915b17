// Finding a proxy that is already running, started by anyone.
#pragma once

// True when some process's executable path contains imageName, anywhere and in any case.
// Processes that cannot be opened or read count as no match.
bool IsProxyRunning(const wchar_t* imageName);
