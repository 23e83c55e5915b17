// Finding a proxy that is already running, started by anyone.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A running process and the path of its executable.
struct ProcessImage {
    DWORD Id;
    std::wstring Path;  // a path the file functions open, "\\?\GLOBALROOT\Device\..." where only
                        // the device form could be read
};

// The executable path of process id, as ProcessImage has it; empty when it cannot be read.
std::wstring ImagePathOf(DWORD id);

// Every process whose executable path contains imageName, anywhere and in any case. Processes
// that cannot be opened or read count as no match.
std::vector<ProcessImage> ProcessesNamed(const wchar_t* imageName);

// Whether there is any such process.
bool IsProxyRunning(const wchar_t* imageName);
