#include "proxy/orphan.h"

#include "cache/cache_folder.h"
#include "proxy/detect.h"
#include "proxy/stop.h"

namespace {

// What ending a process needs, and no more: a proxy run by someone else cannot be opened so.
constexpr DWORD END_RIGHTS = PROCESS_TERMINATE | SYNCHRONIZE;

// The folder part of path, ending in a backslash, and its last part.
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name)
{
    size_t cut = path.find_last_of(L"\\/");
    folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
    name = cut == std::wstring::npos ? path : path.substr(cut + 1);
}

bool InThisSession(DWORD id)
{
    DWORD own = 0, its = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &own) && ProcessIdToSessionId(id, &its) && own == its;
}

bool MayEnd(DWORD id)
{
    HANDLE process = OpenProcess(END_RIGHTS, FALSE, id);
    if (!process)
        return false;
    CloseHandle(process);
    return true;
}

bool InFolder(const std::wstring& path, const std::wstring& programDir)
{
    std::wstring folder, name;
    SplitPath(path, folder, name);
    return !folder.empty() && IsSameFolder(folder, programDir);
}

}  // namespace

RunningProxies FindRunningProxies(const std::wstring& programDir, const wchar_t* exeName)
{
    RunningProxies running;
    for (const ProcessImage& process : ProcessesNamed(exeName)) {
        std::wstring folder, name;
        SplitPath(process.Path, folder, name);
        bool own = CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), -1, exeName, -1) == CSTR_EQUAL &&
                   InFolder(process.Path, programDir) && InThisSession(process.Id) && MayEnd(process.Id);
        if (own)
            running.OwnFolder.push_back(process.Id);
        else
            running.Others = true;
    }
    return running;
}

bool EndLeftProxy(DWORD id, const ProxyAddress& address, DWORD timeoutMs)
{
    HANDLE process = OpenProcess(END_RIGHTS, FALSE, id);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;  // it has ended meanwhile
    // StopProxy closes the handle it is given; this one tells whether the process went.
    HANDLE watch = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &watch, SYNCHRONIZE, FALSE, 0)) {
        CloseHandle(process);
        return false;
    }
    PROCESS_INFORMATION left{process, nullptr, id, 0};
    StopProxy(left, address, timeoutMs);
    bool gone = WaitForSingleObject(watch, 0) == WAIT_OBJECT_0;
    CloseHandle(watch);
    return gone;
}

bool WindowOfFolderRuns(const std::wstring& programDir, const wchar_t* windowClass)
{
    // Hidden windows are found too: FindWindowEx looks at every top-level window.
    for (HWND window = FindWindowExW(nullptr, nullptr, windowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, windowClass, nullptr)) {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        if (id != GetCurrentProcessId() && InFolder(ImagePathOf(id), programDir))
            return true;
    }
    return false;
}

HANDLE MarkProgramFolder(const std::wstring& programDir, bool& another)
{
    // Per session, as the tray is: the same folder's kelvor in another session has its own proxy
    // (which this one cannot see or end anyway).
    std::wstring name = L"Local\\kelvor " + FolderKey(programDir);
    HANDLE mark = CreateMutexW(nullptr, FALSE, name.c_str());
    DWORD error = GetLastError();
    // A mark that exists but is not ours to open is another kelvor's all the same.
    another = mark ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
    return mark;
}
