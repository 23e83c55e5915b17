// Stand-in caching proxy used by kelvor's tests in place of the real one.
// It keeps the outward behaviour kelvor depends on (command line, hidden
// window, log, cache files, purge run, config page) and nothing more.

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

const wchar_t CLASS_NAME[] = L"StandInProxy";
const UINT WM_PROXY_SOCKET = WM_APP + 1;
const unsigned short PORT = 8123;
const int MAX_WINDOWS = 8;
const int MAX_CLIENTS = 16;

struct Client {
    SOCKET Socket;
    char Buffer[4096];
    int Length;
};

struct ProxyState {
    std::wstring CacheRoot; // as given, for display
    std::wstring LogFile;
    std::wstring CloseLog;
    bool IgnoreClose = false;
    SOCKET Listener = INVALID_SOCKET;
    Client Clients[MAX_CLIENTS];
};

ProxyState StandIn;

bool ReadEnvironment(const wchar_t *name, std::wstring &out)
{
    wchar_t buf[2048];
    DWORD n = GetEnvironmentVariableW(name, buf, 2048);
    if (n == 0 || n >= 2048)
        return false;
    out.assign(buf, n);
    return true;
}

std::string EncodeUtf8(const std::wstring &w)
{
    if (w.empty())
        return std::string();
    int wideLength = static_cast<int>(w.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wideLength, &s[0], n, nullptr, nullptr);
    return s;
}

// Several instances may append to the same file at once (the tests run
// them side by side), so share everything and retry while another writer
// briefly holds it exclusively.
void AppendLine(const std::wstring &path, const std::wstring &line)
{
    if (path.empty())
        return;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100; ++attempt) {
        h = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(20);
    }
    if (h == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = EncodeUtf8(line);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

void WriteLogLine(const std::wstring &text)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    _snwprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay,
               t.wHour, t.wMinute, t.wSecond);
    stamp[31] = L'\0';
    AppendLine(StandIn.LogFile, stamp + text + L"\r\n");
}

// Values use the proxy's own syntax: optionally quoted, with "\ " for a
// space, so paths with spaces survive its own tokenizer.
std::wstring UnquoteProxyValue(std::wstring v)
{
    if (v.size() >= 2 && v.front() == L'"' && v.back() == L'"')
        v = v.substr(1, v.size() - 2);
    std::wstring out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == L'\\' && i + 1 < v.size() && v[i + 1] == L' ')
            continue;
        out += v[i];
    }
    return out;
}

void ApplySetting(const std::wstring &name, const std::wstring &value)
{
    if (name == L"diskCacheRoot")
        StandIn.CacheRoot = UnquoteProxyValue(value);
    else if (name == L"logFile")
        StandIn.LogFile = UnquoteProxyValue(value);
}

std::wstring MakeFileSystemPath(std::wstring p)
{
    for (wchar_t &c : p)
        if (c == L'/')
            c = L'\\';
    while (p.size() > 3 && p.back() == L'\\')
        p.pop_back();
    return p;
}

void EnsureDirectory(const std::wstring &path)
{
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == L'\\' && path[i - 1] != L':' && path[i - 1] != L'\\')
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void WriteCacheEntry(const std::wstring &dir, const wchar_t *name, int index)
{
    EnsureDirectory(dir);
    std::string body = "cached entry " + std::to_string(index) + "\n";
    body.append(300, static_cast<char>('a' + index));
    body += "\n";
    HANDLE h = CreateFileW((dir + L"\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(h, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
    CloseHandle(h);
}

void FillCache(const std::wstring &root)
{
    WriteCacheEntry(root + L"\\a", L"entry1.bin", 1);
    WriteCacheEntry(root + L"\\b", L"entry2.bin", 2);
    WriteCacheEntry(root, L"entry3.bin", 3);
}

// Files only: the directory layout is the cache's skeleton and stays.
int PurgeTree(const std::wstring &dir)
{
    int removed = 0;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring full = dir + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                removed += PurgeTree(full);
        } else {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (DeleteFileW(full.c_str()))
                ++removed;
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return removed;
}

std::string EscapeHtml(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string BuildConfigPage()
{
    std::string root =
        StandIn.CacheRoot.empty() ? "(none)" : EscapeHtml(EncodeUtf8(StandIn.CacheRoot));
    std::string log = StandIn.LogFile.empty() ? "(none)" : EscapeHtml(EncodeUtf8(StandIn.LogFile));
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
           "<title>Proxy configuration</title></head>\n<body><h1>Proxy configuration</h1>\n"
           "<table>\n<tr><th>diskCacheRoot</th><td>" + root + "</td></tr>\n"
           "<tr><th>logFile</th><td>" + log + "</td></tr>\n</table>\n</body></html>\n";
}

void DropClient(Client &c)
{
    closesocket(c.Socket);
    c.Socket = INVALID_SOCKET;
    c.Length = 0;
}

void SendAll(SOCKET s, const std::string &data)
{
    size_t sent = 0;
    for (int tries = 0; sent < data.size() && tries < 200; ++tries) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n > 0)
            sent += n;
        else if (WSAGetLastError() == WSAEWOULDBLOCK)
            Sleep(5);
        else
            return;
    }
}

void ServeRequest(Client &c)
{
    std::string req(c.Buffer, c.Length);
    std::string line = req.substr(0, req.find_first_of("\r\n"));
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    std::string method = line.substr(0, sp1);
    std::string path = sp1 == std::string::npos ? "" : line.substr(sp1 + 1, sp2 - sp1 - 1);
    path = path.substr(0, path.find('?'));

    bool found = path == "/polipo/config";
    std::string body = found ? BuildConfigPage()
                             : "<!DOCTYPE html>\n<html><head><title>Not found</title></head>"
                               "<body><p>Not found</p></body></html>\n";
    std::string head = std::string("HTTP/1.0 ") + (found ? "200 OK" : "404 Not Found") +
                       "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    SendAll(c.Socket, method == "HEAD" ? head : head + body);
    shutdown(c.Socket, SD_SEND);
    DropClient(c);
}

void OnSocket(HWND hwnd, SOCKET s, WORD event)
{
    if (event == FD_ACCEPT) {
        SOCKET cs = accept(StandIn.Listener, nullptr, nullptr);
        if (cs == INVALID_SOCKET)
            return;
        for (Client &c : StandIn.Clients) {
            if (c.Socket == INVALID_SOCKET) {
                c.Socket = cs;
                c.Length = 0;
                WSAAsyncSelect(cs, hwnd, WM_PROXY_SOCKET, FD_READ | FD_CLOSE);
                return;
            }
        }
        closesocket(cs);
        return;
    }
    for (Client &c : StandIn.Clients) {
        if (c.Socket != s)
            continue;
        if (event == FD_CLOSE) {
            DropClient(c);
            return;
        }
        int n = recv(s, c.Buffer + c.Length, static_cast<int>(sizeof c.Buffer) - c.Length, 0);
        if (n <= 0) {
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
                DropClient(c);
            return;
        }
        c.Length += n;
        std::string seen(c.Buffer, c.Length);
        if (seen.find("\r\n\r\n") != std::string::npos || seen.find("\n\n") != std::string::npos ||
            c.Length == static_cast<int>(sizeof c.Buffer))
            ServeRequest(c);
        return;
    }
}

// Another instance holding the port is normal; we just run without a page.
void StartServer(HWND hwnd)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return;
    StandIn.Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (StandIn.Listener == INVALID_SOCKET)
        return;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(StandIn.Listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(StandIn.Listener, 8) != 0 ||
        WSAAsyncSelect(StandIn.Listener, hwnd, WM_PROXY_SOCKET, FD_ACCEPT) != 0) {
        closesocket(StandIn.Listener);
        StandIn.Listener = INVALID_SOCKET;
        WriteLogLine(L"config page not served: port " + std::to_wstring(PORT) + L" unavailable");
    }
}

// The close log lets tests see which window received WM_CLOSE, even when
// the hook tells us to ignore it and stay running.
void OnClose(HWND hwnd)
{
    if (!StandIn.CloseLog.empty()) {
        wchar_t title[64] = L"";
        GetWindowTextW(hwnd, title, 64);
        AppendLine(StandIn.CloseLog,
                   std::to_wstring(GetCurrentProcessId()) + L"\t" + title + L"\n");
    }
    if (StandIn.IgnoreClose)
        return;
    DestroyWindow(hwnd);
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_PROXY_SOCKET:
        OnSocket(hwnd, static_cast<SOCKET>(wp), WSAGETSELECTEVENT(lp));
        return 0;
    case WM_CLOSE:
        OnClose(hwnd);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int RunProxy(HINSTANCE inst)
{
    std::wstring value;
    StandIn.IgnoreClose = ReadEnvironment(L"KELVOR_PROXY_IGNORE_CLOSE", value) && value == L"1";
    ReadEnvironment(L"KELVOR_PROXY_CLOSE_LOG", StandIn.CloseLog);
    int windows = 1;
    if (ReadEnvironment(L"KELVOR_PROXY_WINDOWS", value)) {
        windows = _wtoi(value.c_str());
        windows = windows < 1 ? 1 : windows > MAX_WINDOWS ? MAX_WINDOWS : windows;
    }

    if (!StandIn.CacheRoot.empty())
        FillCache(MakeFileSystemPath(StandIn.CacheRoot));

    WNDCLASSW wc = {};
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = inst;
    wc.lpszClassName = CLASS_NAME;
    if (!RegisterClassW(&wc))
        return 0;
    HWND first = nullptr;
    for (int i = 1; i <= windows; ++i) {
        std::wstring title = L"stand-in " + std::to_wstring(i);
        HWND hwnd = CreateWindowExW(0, CLASS_NAME, title.c_str(), WS_OVERLAPPEDWINDOW,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr, nullptr,
                                    inst, nullptr);
        if (!first)
            first = hwnd;
    }
    if (!first)
        return 0;

    for (Client &c : StandIn.Clients)
        c.Socket = INVALID_SOCKET;
    StartServer(first);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    for (Client &c : StandIn.Clients)
        if (c.Socket != INVALID_SOCKET)
            DropClient(c);
    if (StandIn.Listener != INVALID_SOCKET)
        closesocket(StandIn.Listener);
    WSACleanup();
    return 0;
}

// Returns true when -x asks for a purge run instead of a proxy.
bool ParseArguments(const wchar_t *cmdLine)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(cmdLine, &argc);
    // The config file named by -c is optional and everything kelvor sets
    // comes on the command line, so the file itself is never read.
    bool purge = false;
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring arg = argv[i];
        size_t eq = arg.find(L'=');
        if (arg == L"-x")
            purge = true;
        else if (arg == L"-c")
            ++i;
        else if (!arg.empty() && arg[0] != L'-' && eq != std::wstring::npos)
            ApplySetting(arg.substr(0, eq), arg.substr(eq + 1));
    }
    if (argv)
        LocalFree(argv);
    return purge;
}

} // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int)
{
    const wchar_t *cmdLine = GetCommandLineW();
    std::wstring record;
    if (ReadEnvironment(L"KELVOR_PROXY_RECORD", record)) {
        wchar_t cwd[MAX_PATH * 2] = L"";
        GetCurrentDirectoryW(MAX_PATH * 2, cwd);
        AppendLine(record, std::to_wstring(GetCurrentProcessId()) + L"\t" + cmdLine + L"\t" +
                               cwd + L"\n");
    }

    bool purge = ParseArguments(cmdLine);

    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    WriteLogLine(L"proxy " + pid + (purge ? L" purging: " : L" starting: ") + cmdLine);

    int rc = 0;
    if (purge) {
        std::wstring delay;
        if (ReadEnvironment(L"KELVOR_PROXY_PURGE_DELAY_MS", delay) && _wtoi(delay.c_str()) > 0)
            Sleep(static_cast<DWORD>(_wtoi(delay.c_str())));
        int removed =
            StandIn.CacheRoot.empty() ? 0 : PurgeTree(MakeFileSystemPath(StandIn.CacheRoot));
        WriteLogLine(L"proxy " + pid + L" purged " + std::to_wstring(removed) + L" files");
    } else {
        rc = RunProxy(inst);
    }
    WriteLogLine(L"proxy " + pid + L" exiting");
    return rc;
}
