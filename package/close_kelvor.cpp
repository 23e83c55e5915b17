// close-kelvor.exe FOLDER, which the installer and the uninstaller run before they replace or
// remove anything in FOLDER. It ends the kelvor of that folder the way Exit does: WM_CLOSE to
// its main window, whose end writes the proxy out, stops it and gives the user's own proxy
// settings back. It waits at most 10 s for that kelvor and the folder's polipo.exe to end, then
// ends what is left of them. Processes are matched by the folder of the file they run, compared
// by what it is on disk, so a kelvor or polipo of any other folder is never touched.
//
// Exit code: 0 when no kelvor of the folder ran, 1 when one ran and everything of the folder has
// ended, 2 when something of the folder could not be ended (it runs elevated or as another
// user, say), or the command line names no folder.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "cache/cache_folder.h"
#include "proxy/detect.h"
#include "proxy/proxy_address.h"
#include "proxy/writeout.h"

namespace {

enum ExitCode { NONE_RAN = 0, CLOSED = 1, NOT_ENDED = 2 };

constexpr DWORD CLOSE_WAIT_MS = 10000;
constexpr DWORD WRITEOUT_WAIT_MS = 1000;
constexpr DWORD TERMINATE_WAIT_MS = 2000;
constexpr DWORD PROXY_GRACE_MS = 2000;
// What a process that had to be ended exits with; kelvor itself always ends with 0.
constexpr UINT ENDED_FROM_OUTSIDE = 1;
// kelvor's window class (its string 110), which owns the tray icon and ends kelvor on WM_CLOSE.
constexpr wchar_t KELVOR_CLASS[] = L"KELVOR";

struct Copy {
    HANDLE Process;
    DWORD Id;
    bool Asked;
};

// The running processes of folder's exeName, opened to be waited on and ended. The folder is
// compared by identity on disk, so that a short name, another case or another drive letter for it
// still matches. unreachable is set for one of them that may not be ended (run elevated, say).
std::vector<Copy> FindCopies(const std::wstring& folder, const wchar_t* exeName, bool& unreachable)
{
    std::vector<Copy> copies;
    for (const ProcessImage& process : ProcessesNamed(exeName)) {
        size_t cut = process.Path.find_last_of(L"\\/");
        if (cut == std::wstring::npos || process.Id == GetCurrentProcessId() ||
            CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, process.Path.c_str() + cut + 1, -1, exeName, -1) != CSTR_EQUAL ||
            !IsSameFolder(process.Path.substr(0, cut + 1), folder))
            continue;
        HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process.Id);
        if (handle)
            copies.push_back(Copy{handle, process.Id, false});
        else
            unreachable = true;
    }
    return copies;
}

bool Running(const Copy& copy)
{
    return WaitForSingleObject(copy.Process, 0) == WAIT_TIMEOUT;
}

struct CloseRequest {
    DWORD Id;
    bool Posted;
};

BOOL CALLBACK CloseKelvorWindow(HWND window, LPARAM context)
{
    auto* request = reinterpret_cast<CloseRequest*>(context);
    DWORD id = 0;
    wchar_t className[16] = L"";
    GetWindowThreadProcessId(window, &id);
    // Posted, not sent: a kelvor busy with a message box must not hold the installer up.
    if (id == request->Id && GetClassNameW(window, className, 16) && lstrcmpW(className, KELVOR_CLASS) == 0)
        request->Posted = PostMessageW(window, WM_CLOSE, 0, 0) != FALSE || request->Posted;
    return TRUE;
}

// Waits until every copy has ended, at most until deadlineMs after start.
bool AllEnded(std::vector<Copy>& copies, DWORD start, DWORD deadlineMs)
{
    for (Copy& copy : copies) {
        DWORD elapsed = GetTickCount() - start;
        if (WaitForSingleObject(copy.Process, elapsed >= deadlineMs ? 0 : deadlineMs - elapsed) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

// WM_CLOSE to each kelvor's main window, asked again for a kelvor that is still starting and has
// none yet, until every kelvor has ended or the time is up.
void CloseKelvors(std::vector<Copy>& kelvors, DWORD start)
{
    for (;;) {
        bool running = false;
        for (Copy& kelvor : kelvors) {
            if (!Running(kelvor))
                continue;
            running = true;
            if (!kelvor.Asked) {
                CloseRequest request{kelvor.Id, false};
                EnumWindows(CloseKelvorWindow, reinterpret_cast<LPARAM>(&request));
                kelvor.Asked = request.Posted;
            }
        }
        if (!running || GetTickCount() - start >= CLOSE_WAIT_MS)
            return;
        AllEnded(kelvors, GetTickCount(), 100);
    }
}

void EndAll(std::vector<Copy>& copies)
{
    for (Copy& copy : copies)
        if (Running(copy))
            TerminateProcess(copy.Process, ENDED_FROM_OUTSIDE);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count != 2 || !arguments[1][0])
        return NOT_ENDED;
    std::wstring folder = arguments[1];
    LocalFree(arguments);
    if (folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';

    bool unreachable = false;
    std::vector<Copy> kelvors = FindCopies(folder, L"kelvor.exe", unreachable);
    std::vector<Copy> proxies = FindCopies(folder, L"polipo.exe", unreachable);
    DWORD start = GetTickCount();
    CloseKelvors(kelvors, start);
    EndAll(kelvors);
    bool ended = AllEnded(kelvors, GetTickCount(), TERMINATE_WAIT_MS);
    // A kelvor stops its proxy as it ends, within its own 2 s (and the 10 s above). A proxy still
    // running after that, or one that ran without a kelvor, has nobody left to stop it: what it
    // holds in memory goes to disk, and it is ended.
    DWORD grace = GetTickCount() - start + PROXY_GRACE_MS;
    if (!kelvors.empty())
        AllEnded(proxies, start, grace < CLOSE_WAIT_MS ? grace : CLOSE_WAIT_MS);
    bool orphans = false;
    for (const Copy& proxy : proxies)
        orphans = orphans || Running(proxy);
    if (orphans) {
        AskProxyToWriteOut(ReadProxyAddress(folder + L"config"), WRITEOUT_WAIT_MS);
        EndAll(proxies);
    }
    ended = AllEnded(proxies, GetTickCount(), TERMINATE_WAIT_MS) && ended;
    for (const Copy& copy : kelvors)
        CloseHandle(copy.Process);
    for (const Copy& copy : proxies)
        CloseHandle(copy.Process);
    if (!ended || unreachable)
        return NOT_ENDED;
    return kelvors.empty() ? NONE_RAN : CLOSED;
}
