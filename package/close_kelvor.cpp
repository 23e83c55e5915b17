// close-kelvor.exe FOLDER, which the installer and the uninstaller run before they replace or
// remove anything in FOLDER. It ends the kelvor of that folder the way Exit does: WM_CLOSE to
// its main window, whose end writes the proxy out, stops it and gives the user's own proxy
// settings back. It waits at most 10 s for that kelvor and the folder's polipo.exe to end, then
// ends what is left of them. Processes are matched by the file they run, not by their name, so a
// kelvor or polipo of any other folder is never touched.
//
// Exit code: 0 when no kelvor of the folder ran, 1 when one ran and everything of the folder has
// ended, 2 when something of the folder could not be ended (it runs elevated or as another
// user, say), or the command line names no folder.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <string>
#include <vector>

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
// Windows Vista and later grant this for any process of the user's, elevated ones included;
// XP does not know it.
constexpr DWORD QUERY_LIMITED_INFORMATION = 0x1000;

struct FileId {
    DWORD Volume;
    DWORD High;
    DWORD Low;
};

bool IdOf(const std::wstring& path, FileId& id)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool read = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    if (read)
        id = FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return read;
}

// One of the folder's programs, known by what it is on disk, so that a short name, another case
// or another drive letter for the folder still matches; by name only where it cannot be opened
// (not installed yet).
struct Program {
    explicit Program(const std::wstring& path) : Path(path), Known(IdOf(path, Id)) {}
    bool IsRunBy(const std::wstring& image) const
    {
        FileId other;
        if (Known && IdOf(image, other))
            return other.Volume == Id.Volume && other.High == Id.High && other.Low == Id.Low;
        return lstrcmpiW(image.c_str(), Path.c_str()) == 0;
    }
    std::wstring Path;
    FileId Id{};
    bool Known;
};

using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

// The file a process runs. QueryFullProcessImageNameW also reads a 64-bit process from a 32-bit
// one; XP, which lacks it, names its first module.
std::wstring ImagePath(HANDLE process)
{
    static const auto query = reinterpret_cast<QueryImageName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
    std::vector<wchar_t> path(32768);
    DWORD size = static_cast<DWORD>(path.size());
    if (query && query(process, 0, path.data(), &size))
        return std::wstring(path.data(), size);
    DWORD length = GetModuleFileNameExW(process, nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), length < path.size() ? length : 0);
}

struct Copy {
    HANDLE Process;
    DWORD Id;
    bool Asked;
};

struct Copies {
    std::vector<Copy> Kelvors;
    std::vector<Copy> Proxies;
    bool Unreachable = false;  // one of the folder's that this helper may not wait on or end
};

std::vector<DWORD> ProcessIds()
{
    // A list that fills its buffer may have been cut short: it grows until every id fits.
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (;;) {
        DWORD room = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!EnumProcesses(ids.data(), room, &bytes))
            return std::vector<DWORD>();
        if (bytes < room)
            break;
        ids.resize(ids.size() * 2);
    }
    ids.resize(bytes / sizeof(DWORD));
    return ids;
}

Copies FindCopies(const Program& kelvorExe, const Program& proxyExe)
{
    Copies copies;
    for (DWORD id : ProcessIds()) {
        if (id == 0 || id == GetCurrentProcessId())
            continue;
        const DWORD rights = SYNCHRONIZE | PROCESS_TERMINATE;
        HANDLE process = OpenProcess(rights | QUERY_LIMITED_INFORMATION, FALSE, id);
        if (!process)
            process = OpenProcess(rights | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
        bool mayEnd = process != nullptr;
        if (!process)
            process = OpenProcess(QUERY_LIMITED_INFORMATION, FALSE, id);
        if (!process)
            continue;
        std::wstring image = ImagePath(process);
        bool kelvor = !image.empty() && kelvorExe.IsRunBy(image);
        bool proxy = !kelvor && !image.empty() && proxyExe.IsRunBy(image);
        if ((kelvor || proxy) && mayEnd) {
            (kelvor ? copies.Kelvors : copies.Proxies).push_back(Copy{process, id, false});
            continue;
        }
        copies.Unreachable = copies.Unreachable || kelvor || proxy;
        CloseHandle(process);
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

    Copies copies = FindCopies(Program(folder + L"kelvor.exe"), Program(folder + L"polipo.exe"));
    DWORD start = GetTickCount();
    CloseKelvors(copies.Kelvors, start);
    EndAll(copies.Kelvors);
    bool ended = AllEnded(copies.Kelvors, GetTickCount(), TERMINATE_WAIT_MS);
    // A kelvor stops its proxy as it ends, within its own 2 s (and the 10 s above). A proxy still running after that,
    // or one that ran without a kelvor, has nobody left to stop it: what it holds in memory goes
    // to disk, and it is ended.
    DWORD grace = GetTickCount() - start + PROXY_GRACE_MS;
    if (!copies.Kelvors.empty())
        AllEnded(copies.Proxies, start, grace < CLOSE_WAIT_MS ? grace : CLOSE_WAIT_MS);
    bool orphans = false;
    for (const Copy& proxy : copies.Proxies)
        orphans = orphans || Running(proxy);
    if (orphans) {
        AskProxyToWriteOut(ReadProxyAddress(folder + L"config"), WRITEOUT_WAIT_MS);
        EndAll(copies.Proxies);
    }
    ended = AllEnded(copies.Proxies, GetTickCount(), TERMINATE_WAIT_MS) && ended;
    for (const Copy& copy : copies.Kelvors)
        CloseHandle(copy.Process);
    for (const Copy& copy : copies.Proxies)
        CloseHandle(copy.Process);
    if (!ended || copies.Unreachable)
        return NOT_ENDED;
    return copies.Kelvors.empty() ? NONE_RAN : CLOSED;
}
