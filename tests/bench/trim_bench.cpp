// One trim pass over a folder, as kelvor runs it, for scripts/bench-trim.sh: prints the peak
// memory of the whole process.
// Usage: trim_bench FOLDER LIMIT_BYTES
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

#include "cache/trim.h"

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3) {
        fputs("usage: trim_bench FOLDER LIMIT_BYTES\n", stderr);
        return 2;
    }
    TrimCache(argv[1], _wcstoi64(argv[2], nullptr, 10));

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    printf("peak_pagefile %llu peak_working_set %llu\n",
           static_cast<unsigned long long>(memory.PeakPagefileUsage),
           static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    LocalFree(argv);
    return 0;
}
