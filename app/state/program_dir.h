// The program's own folder, from the path of its executable.
#pragma once

#include <string>

// The drive and directory of modulePath, ending in a backslash: "C:\Tools\kelvor.exe" gives
// "C:\Tools\", "\\server\share\kelvor.exe" gives "\\server\share\".
std::wstring ProgramDirOf(const std::wstring& modulePath);

// True when every file name the program appends to dir still makes a path of fewer than
// MAX_PATH characters.
bool ProgramDirFits(const std::wstring& dir);

// The running kelvor.exe's full path, however long; empty if it cannot be read.
std::wstring OwnExecutablePath();
