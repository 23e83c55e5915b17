#include "tests/support/support.h"

#include "app/resources/resource.h"
#include "proxy/launch.h"

#include <iphlpapi.h>
#include <wincrypt.h>
#include <winioctl.h>
#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// The port the proxy listens on when its config names none, as in every test's config.
constexpr unsigned short PROXY_PORT = 8123;

std::wstring Env(const wchar_t* name, bool* found = nullptr)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (found)
        *found = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

TempDir::TempDir()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    // Wine hands out a process id again at once, and a folder of an earlier test program with
    // that id can still be on its way out (delete pending, while a process it started ends):
    // the start time of this process makes the names its own.
    FILETIME created{};
    FILETIME unused{};
    GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
    static unsigned counter = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        wchar_t name[80];
        swprintf(name, 80, L"kelvor-test-%lu-%08lx-%u", GetCurrentProcessId(), created.dwLowDateTime, counter++);
        path_ = std::wstring(base) + name;
        if (CreateDirectoryW(path_.c_str(), nullptr))
            return;
    }
    ADD_FAILURE() << "no temporary folder could be made in " << Narrow(base) << " (" << GetLastError() << ")";
}

TempDir::~TempDir()
{
    RemoveTree(path_);
}

void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    // Links are removed, never walked.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
        return;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str()))
        RemoveDirectoryW(path.c_str());
}

void MakeDirs(const std::wstring& path)
{
    size_t at = path.find_last_of(L"\\/");
    if (at != std::wstring::npos && at > 2)
        MakeDirs(path.substr(0, at));
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteFileOfSize(const std::wstring& path, int64_t size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetLastAccess(const std::wstring& path, uint64_t fileTime)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SetFileTime(file, nullptr, &time, nullptr);
    CloseHandle(file);
}

void SetFileTimes(const std::wstring& path, uint64_t accessTime, uint64_t writeTime)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILETIME access = {static_cast<DWORD>(accessTime), static_cast<DWORD>(accessTime >> 32)};
    FILETIME write = {static_cast<DWORD>(writeTime), static_cast<DWORD>(writeTime >> 32)};
    SetFileTime(file, nullptr, &access, &write);
    CloseHandle(file);
}

void SetLastUse(const std::wstring& path, uint64_t fileTime)
{
    SetFileTimes(path, fileTime, fileTime);
}

void MakeCacheFile(const std::wstring& path, int64_t size, uint64_t lastUse)
{
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    WriteFileOfSize(path, size);
    SetLastUse(path, lastUse);
}

std::wstring ProxyFile(const std::string& url)
{
    std::string folder;
    size_t hostEnd = url.find('/', 7);
    for (char c : url.substr(7, hostEnd - 7)) {
        if (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') {
            folder += c;
        } else {
            char escaped[4];
            snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
            folder += escaped;
        }
    }
    BYTE digest[16] = {};
    DWORD length = sizeof(digest);
    // Acquired once: tests name thousands of files.
    static HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if ((provider || CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) &&
        CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        CryptHashData(hash, reinterpret_cast<const BYTE*>(url.data()), static_cast<DWORD>(url.size()), 0);
        CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
        CryptDestroyHash(hash);
    }
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    std::string name;
    for (int i = 0; i < 16; i += 3) {
        uint32_t bits = digest[i] << 16 | (i + 1 < 16 ? digest[i + 1] << 8 : 0) | (i + 2 < 16 ? digest[i + 2] : 0);
        for (int k = 0; k < 4; ++k)
            name += alphabet[(bits >> (18 - 6 * k)) & 0x3F];
    }
    name.replace(22, 2, "==");
    return Widen(folder + "\\" + name);
}

std::wstring Widen(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], length);
    return text;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string utf8(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], length, nullptr,
                        nullptr);
    return utf8;
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring MakeProgramFolder(const std::wstring& dir, bool withProxy)
{
    MakeDirs(dir);
    CopyFileW((BinDir() + L"\\kelvor.exe").c_str(), (dir + L"\\kelvor.exe").c_str(), FALSE);
    if (withProxy) {
        CopyFileW((BinDir() + L"\\polipo.exe").c_str(), (dir + L"\\polipo.exe").c_str(), FALSE);
        WriteFileBytes(dir + L"\\config", "");
    }
    return dir + L"\\";
}

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name)
{
    old_ = Env(name, &hadOld_);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnv::~ScopedEnv()
{
    SetEnvironmentVariableW(name_.c_str(), hadOld_ ? old_.c_str() : nullptr);
}

namespace {

// Runs a program of the host, which Wine starts as it is, and waits for done: Wine gives no
// handle of such a process to wait on.
template <typename Done>
bool RunOnHost(const std::wstring& arguments, const std::wstring& program, Done done)
{
    return StartLinuxProgram(program, arguments, L"C:\\") && WaitFor(done);
}

}  // namespace

ScopedLink::ScopedLink(const std::wstring& link, const std::wstring& target)
{
    std::string folder = Narrow(UnixPath(link.substr(0, link.find_last_of(L'\\'))));
    if (!folder.empty())
        Make(folder + "/" + Narrow(link.substr(link.find_last_of(L'\\') + 1)), target, link);
}

void ScopedLink::Make(const std::string& unixLink, const std::wstring& target, const std::wstring& shown)
{
    unixLink_ = unixLink;
    shown_ = shown;
    std::string unixTarget = Narrow(UnixPath(target));
    made_ = !unixTarget.empty() &&
            RunOnHost(Widen("-sn \"" + unixTarget + "\" \"" + unixLink_ + "\""), L"/bin/ln",
                      [&] { return GetFileAttributesW(shown_.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

ScopedLink::~ScopedLink()
{
    Remove();
}

void ScopedLink::Remove()
{
    if (made_)
        RunOnHost(Widen("-f \"" + unixLink_ + "\""), L"/bin/rm",
                  [&] { return GetFileAttributesW(shown_.c_str()) == INVALID_FILE_ATTRIBUTES; });
    made_ = false;
}

namespace {

uint64_t MsNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

// Returns once a new second has begun, then asks for the folder's volume, which makes Wine read
// its list of drives again. Wine counts that second by the host's coarse clock, which turns some
// milliseconds after the system time does: asked at once, Wine read its old list, and read the
// new one in the middle of the test's next lookups. So the question waits until 100 ms into the
// new second.
void AwaitDriveListRead(const std::wstring& folder)
{
    uint64_t second = MsNow() / 1000;
    WaitFor([&] {
        uint64_t now = MsNow();
        return now / 1000 != second && now % 1000 >= 100;
    }, 5000);
    HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE) {
        GetFileInformationByHandle(handle, &info);
        CloseHandle(handle);
    }
}

}  // namespace

ScopedDriveLetter::ScopedDriveLetter(const std::wstring& folder)
{
    wchar_t prefix[MAX_PATH] = L"";
    if (!GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH))
        return;
    // Wine lists only the drives it was told of, not every link in dosdevices.
    wchar_t letter = L'Q';
    for (; letter < L'Z'; ++letter) {
        root_ = std::wstring(1, letter) + L":\\";
        if (GetDriveTypeW(root_.c_str()) == DRIVE_NO_ROOT_DIR)
            break;
    }
    Make(Narrow(prefix) + "/dosdevices/" + static_cast<char>(letter + 32) + ":", folder, root_);
    folder_ = folder;
    if (ScopedLink::Made())
        AwaitDriveListRead(folder_);
    settled_ = ScopedLink::Made();
}

ScopedDriveLetter::~ScopedDriveLetter()
{
    Remove();
    if (settled_)
        AwaitDriveListRead(folder_);
}

Child::Child(const std::wstring& exe, const std::wstring& arguments, const std::wstring& dir)
{
    std::wstring line = L"\"" + exe + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Started as kelvor starts its proxy: Wine's lost starts are the platform's, not a fault of
    // the program under test.
    if (StartProcess(exe.c_str(), line, FALSE, dir.empty() ? nullptr : dir.c_str(), startup, info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
}

Child::Child(DWORD pid)
    : process_(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid)),
      id_(pid)
{
}

Child::~Child()
{
    if (process_) {
        if (Running()) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
}

Child::Child(Child&& other) noexcept : process_(other.process_), id_(other.id_)
{
    other.process_ = nullptr;
    other.id_ = 0;
}

Child& Child::operator=(Child&& other) noexcept
{
    std::swap(process_, other.process_);
    std::swap(id_, other.id_);
    return *this;
}

bool Child::WaitExit(DWORD timeoutMs)
{
    return process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

bool Child::Running() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD Child::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (process_)
        GetExitCodeProcess(process_, &code);
    return code;
}

std::vector<ProxyRecord> ReadProxyRecords(const std::wstring& path)
{
    // pid, STARTUPINFO flags, show state, command line, working directory; tab-separated.
    std::vector<ProxyRecord> records;
    std::wstring text = Widen(ReadFileBytes(path));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            break;  // a line still being written
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        size_t tab1 = line.find(L'\t');
        size_t tab2 = tab1 == std::wstring::npos ? tab1 : line.find(L'\t', tab1 + 1);
        size_t tab3 = tab2 == std::wstring::npos ? tab2 : line.find(L'\t', tab2 + 1);
        size_t last = line.rfind(L'\t');
        if (tab3 == std::wstring::npos || last == tab3)
            continue;
        records.push_back(ProxyRecord{static_cast<DWORD>(wcstoul(line.c_str(), nullptr, 10)),
                                      static_cast<DWORD>(wcstoul(line.c_str() + tab1 + 1, nullptr, 10)),
                                      static_cast<WORD>(wcstoul(line.c_str() + tab2 + 1, nullptr, 10)),
                                      line.substr(tab3 + 1, last - tab3 - 1), line.substr(last + 1)});
    }
    return records;
}

namespace {

struct WindowSearch {
    DWORD Pid;
    std::wstring ClassName;
    std::vector<HWND> Found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->Pid && (search->ClassName.empty() || ClassOf(window) == search->ClassName))
        search->Found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectStatic(HWND child, LPARAM context)
{
    auto* texts = reinterpret_cast<std::wstring*>(context);
    if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0) {
        if (!texts->empty())
            *texts += L"\n";
        *texts += WindowText(child);
    }
    return TRUE;
}

}  // namespace

std::vector<HWND> TopWindows(DWORD pid, const std::wstring& className)
{
    WindowSearch search{pid, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND WaitForTopWindow(DWORD pid, const std::wstring& className, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitFor(
        [&] {
            std::vector<HWND> windows = TopWindows(pid, className);
            found = windows.empty() ? nullptr : windows.front();
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

bool PortListening(unsigned short port)
{
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)
        return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool listening = s != INVALID_SOCKET &&
                     connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    return listening;
}

bool WaitForProxyPortFree(DWORD timeoutMs)
{
    return WaitFor([] { return !PortListening(PROXY_PORT); }, timeoutMs);
}

namespace {

struct Connection {
    DWORD LocalAddr, LocalPort, RemoteAddr, RemotePort;
    bool operator==(const Connection& other) const
    {
        return LocalAddr == other.LocalAddr && LocalPort == other.LocalPort && RemoteAddr == other.RemoteAddr &&
               RemotePort == other.RemotePort;
    }
};

std::vector<Connection> relics;

// The open connections of the proxy port's side; false if the table cannot be read.
bool OpenProxyConnections(std::vector<Connection>& open)
{
    ULONG size = 0;
    std::vector<char> buffer;
    DWORD read;
    do {
        buffer.resize(size + sizeof(MIB_TCPTABLE));
        size = static_cast<ULONG>(buffer.size());
        read = GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buffer.data()), &size, FALSE);
    } while (read == ERROR_INSUFFICIENT_BUFFER);
    if (read != NO_ERROR)
        return false;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) == PROXY_PORT && row.dwState != MIB_TCP_STATE_LISTEN &&
            row.dwState != MIB_TCP_STATE_TIME_WAIT)
            open.push_back({row.dwLocalAddr, row.dwLocalPort, row.dwRemoteAddr, row.dwRemotePort});
    }
    return true;
}

}  // namespace

bool ProxyAtRest()
{
    std::vector<Connection> open;
    if (!OpenProxyConnections(open))
        return false;
    for (const Connection& connection : open) {
        if (std::find(relics.begin(), relics.end(), connection) == relics.end())
            return false;
    }
    return true;
}

void NoteProxyRelics()
{
    std::vector<Connection> open;
    // While a proxy listens, what is open may be its own.
    if (!PortListening(PROXY_PORT) && OpenProxyConnections(open))
        relics = open;
}

HWND WaitForMainWindow(DWORD pid, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitFor(
        [&] {
            for (HWND window : TopWindows(pid, L"KELVOR")) {
                if (GetDlgItem(window, IDC_TIP)) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::string WhatProcessShows(DWORD pid)
{
    std::string shows = "process " + std::to_string(pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    DWORD code = 0;
    if (!process || !GetExitCodeProcess(process, &code))
        shows += " cannot be opened (" + std::to_string(GetLastError()) + ")";
    else
        shows += code == STILL_ACTIVE ? " runs" : " ended with code " + std::to_string(code);
    if (process)
        CloseHandle(process);
    std::vector<HWND> windows = TopWindows(pid);
    shows += windows.empty() ? ", no windows" : ", windows:";
    for (HWND window : windows) {
        shows += " " + Narrow(ClassOf(window)) + " \"" + Narrow(WindowText(window)) + "\"" +
                 (IsWindowVisible(window) ? " shown" : " hidden");
        // What a box says, and kelvor's tip.
        std::wstring inside = GetDlgItem(window, IDC_TIP) ? WindowText(GetDlgItem(window, IDC_TIP)) : StaticTexts(window);
        shows += inside.empty() ? ";" : " saying \"" + Narrow(inside) + "\";";
    }
    return shows;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = L"";
    // WM_GETTEXT reaches windows of other processes too, unlike GetWindowTextW on controls.
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring StaticTexts(HWND window)
{
    std::wstring texts;
    EnumChildWindows(window, CollectStatic, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

RunningKelvor::RunningKelvor(const std::string& iniText, const std::string& configText)
{
    program_ = MakeProgramFolder(dir_ / L"kelvor");
    record_ = dir_ / L"proxy-starts.txt";
    // An earlier test's proxy may still hold the port, and kelvor's would then start without it.
    WaitForProxyPortFree();
    if (!iniText.empty())
        WriteFileBytes(program_ + L"kelvor.ini", iniText);
    if (!configText.empty())
        WriteFileBytes(program_ + L"config", configText);
    Start();
}

void RunningKelvor::Start()
{
    earlierStarts_ = Records().size();
    main_ = nullptr;
    // The proxies that kelvor starts inherit the variable from it.
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record_);
    kelvor_ = Child(program_ + L"kelvor.exe", L"", dir_.Path());
    if (!kelvor_.Started()) {
        startError_ = GetLastError();
        return;
    }
    main_ = WaitForMainWindow(kelvor_.Id());
    if (!WaitFor([&] { return Records().size() > earlierStarts_; }))
        return;
    // The proxy records its start before it reads its config, which it holds open meanwhile: a
    // test that deletes or rewrites the config at once would race with that read.
    DWORD pid = Records().back().Pid;
    WaitFor([&] {
        std::string log = ReadFileBytes(program_ + L"polipo.log");
        size_t from = log.find("proxy " + std::to_string(pid) + " starting");
        bool read = from != std::string::npos &&
                    (log.find("listening socket", from) != std::string::npos ||
                     log.find("not served", from) != std::string::npos);
        return read || !ProcessAlive(pid);
    });
}

testing::AssertionResult RunningKelvor::Ready() const
{
    if (!kelvor_.Started())
        return testing::AssertionFailure() << "kelvor.exe could not be started (" << startError_ << ")";
    if (!main_)
        return testing::AssertionFailure() << "kelvor showed no main window: " << WhatProcessShows(kelvor_.Id());
    if (Records().size() <= earlierStarts_)
        return testing::AssertionFailure() << "kelvor's proxy recorded no start";
    return testing::AssertionSuccess();
}

std::string RunningKelvor::Story() const
{
    std::string story = "proxy starts recorded:\n" + ReadFileBytes(record_);
    story += "polipo.log:\n" + ReadFileBytes(program_ + L"polipo.log");
    return story + "polipo-output.log:\n" + ReadFileBytes(program_ + L"polipo-output.log");
}

RunningKelvor::~RunningKelvor()
{
    if (kelvor_.Running() && main_) {
        PostMessageW(main_, WM_CLOSE, 0, 0);
        kelvor_.WaitExit(15000);
    }
    if (kelvor_.Running()) {
        TerminateProcess(kelvor_.Handle(), 1);
        kelvor_.WaitExit(5000);
    }
    for (const ProxyRecord& record : Records()) {
        HANDLE proxy = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, record.Pid);
        if (!proxy)
            continue;
        if (WaitForSingleObject(proxy, 0) == WAIT_TIMEOUT) {
            TerminateProcess(proxy, 1);
            WaitForSingleObject(proxy, 5000);
        }
        CloseHandle(proxy);
    }
}

HWND WaitForWindowTitled(DWORD pid, const std::wstring& className, const std::wstring& title,
                         DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitFor(
        [&] {
            // A dialog has its title from its creation, its controls and their texts only once
            // it is shown, after WM_INITDIALOG.
            for (HWND window : TopWindows(pid, className)) {
                if (IsWindowVisible(window) && WindowText(window) == title) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::wstring PressOkOnMessageBox(DWORD pid)
{
    HWND box = nullptr;
    WaitFor(
        [&] {
            // Any dialog of kelvor's but its own two is a message box; it may show over one of them.
            for (HWND window : TopWindows(pid, L"#32770")) {
                if (IsWindowVisible(window) && !StaticTexts(window).empty() &&
                    WindowText(window) != L"About" && WindowText(window) != L"Settings") {
                    box = window;
                    return true;
                }
            }
            return false;
        });
    if (!box)
        return L"(no message box)";
    std::wstring text = WindowText(box) + L": " + StaticTexts(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

bool WaitUntilIdle(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 15000, &result) != 0;
}

namespace {

// The system's handle list as ntdll gives it (information class 64), declared here because
// the headers leave it out.
struct SystemHandleEntry {
    PVOID Object;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR HandleValue;
    ULONG GrantedAccess;
    USHORT CreatorBackTraceIndex;
    USHORT ObjectTypeIndex;
    ULONG HandleAttributes;
    ULONG Reserved;
};

struct SystemHandleList {
    ULONG_PTR NumberOfHandles;
    ULONG_PTR Reserved;
    SystemHandleEntry Handles[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

DWORD OwnHandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return count;
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return 0;
    const ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    const LONG STATUS_INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()),
                       &needed);
        if (status != STATUS_INFO_LENGTH_MISMATCH)
            break;
        buffer.resize(needed > buffer.size() * 2 ? needed + 4096 : buffer.size() * 2);
    }
    if (status < 0)
        return 0;
    const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
    for (ULONG_PTR i = 0; i < list->NumberOfHandles; ++i)
        count += list->Handles[i].UniqueProcessId == GetCurrentProcessId();
    return count;
}

bool ProcessAlive(DWORD pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return false;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

FILETIME TimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

int64_t MsUntilExit(const FILETIME& from, HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return -1;
    ULARGE_INTEGER start = {{from.dwLowDateTime, from.dwHighDateTime}};
    ULARGE_INTEGER end = {{ended.dwLowDateTime, ended.dwHighDateTime}};
    return static_cast<int64_t>(end.QuadPart - start.QuadPart) / 10000;
}

IconAtDestroy::IconAtDestroy()
    : answerTo_(L"KELVOR_ICON_PROBE", dir_ / L"icon.txt"),
      probe_(LoadLibraryW((BinDir() + L"\\icon_probe.dll").c_str()))
{
}

IconAtDestroy::~IconAtDestroy()
{
    if (hook_)
        UnhookWindowsHookEx(hook_);
    if (probe_)
        FreeLibrary(probe_);
}

bool IconAtDestroy::Watch(HWND main)
{
    // Through void*, as GetProcAddress's result must go to a function type of another shape.
    auto after = probe_ ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe_, "AfterWindowProc"))) : nullptr;
    if (after && main)
        hook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, after, probe_, GetWindowThreadProcessId(main, nullptr));
    return hook_ != nullptr;
}

std::string IconAtDestroy::Answer() const
{
    return ReadFileBytes(dir_ / L"icon.txt");
}

MenuProbe::MenuProbe()
    : answerTo_(L"KELVOR_MENU_PROBE", dir_ / L"menu.txt"),
      probe_(LoadLibraryW((BinDir() + L"\\icon_probe.dll").c_str()))
{
}

MenuProbe::~MenuProbe()
{
    if (hook_)
        UnhookWindowsHookEx(hook_);
    if (probe_)
        FreeLibrary(probe_);
}

bool MenuProbe::Watch(HWND main)
{
    auto after = probe_ ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe_, "AfterWindowProc"))) : nullptr;
    if (after && main)
        hook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, after, probe_, GetWindowThreadProcessId(main, nullptr));
    return hook_ != nullptr;
}

std::string MenuProbe::Ask(HWND main, HMENU menu)
{
    std::wstring answer = dir_ / L"menu.txt";
    DeleteFileW(answer.c_str());
    // Sent, yet Wine's hook may run after the sender is answered: the file is waited for.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(main, RegisterWindowMessageW(L"kelvor probe: is this a menu"), reinterpret_cast<WPARAM>(menu), 0,
                        SMTO_ABORTIFHUNG, 5000, &result);
    WaitFor([&] { return ReadFileBytes(answer).size() >= 4; }, 5000);
    return ReadFileBytes(answer);
}

bool StartLinuxProgram(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder)
{
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW((L"Z:" + exe).c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info))
        return false;
    if (info.hProcess)
        CloseHandle(info.hProcess);
    if (info.hThread)
        CloseHandle(info.hThread);
    return true;
}

std::wstring UnixPath(const std::wstring& path)
{
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixFileName ? unixFileName(path.c_str()) : nullptr;
    if (!name)
        return std::wstring();
    std::wstring unixPath = Widen(name);
    HeapFree(GetProcessHeap(), 0, name);
    return unixPath;
}

namespace {

BOOL CALLBACK CollectBalloon(HWND window, LPARAM balloons)
{
    if (IsWindowVisible(window) && ClassOf(window) == TOOLTIPS_CLASSW &&
        (GetWindowLongPtrW(window, GWL_STYLE) & TTS_BALLOON))
        reinterpret_cast<std::vector<HWND>*>(balloons)->push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> BalloonWindows()
{
    std::vector<HWND> balloons;
    EnumWindows(CollectBalloon, reinterpret_cast<LPARAM>(&balloons));
    return balloons;
}

std::vector<std::wstring> ShownBalloons()
{
    std::vector<std::wstring> texts;
    for (HWND balloon : BalloonWindows())
        texts.push_back(WindowText(balloon));
    return texts;
}

bool WaitForBalloon(const std::wstring& start, DWORD timeoutMs)
{
    return WaitFor(
        [&] {
            for (const std::wstring& text : ShownBalloons())
                if (text.compare(0, start.size(), start) == 0)
                    return true;
            return false;
        },
        timeoutMs);
}
