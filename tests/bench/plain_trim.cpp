// The plainest trim pass a Win32 program could make, for scripts/bench-trim.sh to hold kelvor's
// pass against: the last use (the later of access and write time), size and full path of every
// file named as the proxy names its objects, one folder down, in one vector, sorted, and deleted
// oldest first until the rest fits the limit. Prints the peak memory of the whole process, as
// trim_bench does.
// Usage: plain_trim FOLDER LIMIT_BYTES
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Entry {
    uint64_t LastUse;
    int64_t Size;
    std::wstring Path;
};

uint64_t Time64(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool IsProxyName(const wchar_t* name)
{
    static const wchar_t ALPHABET[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    return wcslen(name) == 24 && wcsspn(name, ALPHABET) == 22 && wcscmp(name + 22, L"==") == 0;
}

void Scan(const std::wstring& folder, int depth, std::vector<Entry>& entries)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring path = folder + L"\\" + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth == 0 && wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
                Scan(path, 1, entries);
            continue;
        }
        if (depth == 1 && IsProxyName(found.cFileName))
            entries.push_back({std::max(Time64(found.ftLastAccessTime), Time64(found.ftLastWriteTime)),
                               (static_cast<int64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow, path});
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3) {
        fputs("usage: plain_trim FOLDER LIMIT_BYTES\n", stderr);
        return 2;
    }
    int64_t limit = _wcstoi64(argv[2], nullptr, 10);

    std::vector<Entry> entries;
    Scan(argv[1], 0, entries);
    int64_t total = 0;
    for (const Entry& entry : entries)
        total += entry.Size;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.LastUse < b.LastUse; });
    for (size_t i = 0; i < entries.size() && total > limit; ++i) {
        if (DeleteFileW(entries[i].Path.c_str()))
            total -= entries[i].Size;
    }

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    printf("peak_pagefile %llu peak_working_set %llu\n",
           static_cast<unsigned long long>(memory.PeakPagefileUsage),
           static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    LocalFree(argv);
    return 0;
}
