// Stand-in caching proxy used by kelvor's tests in place of the real one.
// It keeps the outward behaviour kelvor depends on (command line, log,
// cache files, purge run, config page, status requests) and the real
// proxy's habits that make kelvor's life harder: no window of its own, no
// cache root made for it, no start without its -c file. A test that needs
// a window to close asks for one through the environment.

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

const wchar_t CLASS_NAME[] = L"StandInProxy";
const UINT WM_PROXY_SOCKET = WM_APP + 1;
const unsigned short DEFAULT_PORT = 8123;
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
    std::wstring ConfigFile; // named by -c
    unsigned short Port = DEFAULT_PORT;
    bool Offline = false; // proxyOffline: the real proxy then serves from its cache alone
    std::wstring CloseLog;
    bool IgnoreClose = false;
    bool DisableLocalInterface = false; // no local pages, and a POST to them is not allowed
    bool DisableConfiguration = false;  // the status and config forms are refused
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
    else if (name == L"proxyOffline")
        StandIn.Offline = value == L"true";
}

// A boolean of the config as the real proxy reads it: true or yes, in any case.
bool ConfigTrue(const std::string &value)
{
    std::string word;
    for (char c : value) {
        if (!isalpha(static_cast<unsigned char>(c)))
            break;
        word += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return word == "true" || word == "yes";
}

// The real proxy listens where its config says, and refuses the status form where it says so;
// of the config, only "proxyPort", "disableLocalInterface" and "disableConfiguration" lines
// (a "#" starting a comment) are read here.
void ReadConfigFile(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char buffer[4096];
    DWORD read = 0;
    std::string text;
    if (ReadFile(file, buffer, sizeof buffer, &read, nullptr))
        text.assign(buffer, read);
    CloseHandle(file);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        line = line.substr(0, line.find('#'));
        size_t name = line.find_first_not_of(" \t");
        if (name == std::string::npos)
            continue;
        size_t nameEnd = name;
        while (nameEnd < line.size() && isalnum(static_cast<unsigned char>(line[nameEnd])))
            ++nameEnd;
        std::string key = line.substr(name, nameEnd - name);
        size_t equals = line.find_first_not_of(" \t", nameEnd);
        if (equals == std::string::npos || line[equals] != '=')
            continue;
        size_t value = line.find_first_not_of(" \t", equals + 1);
        std::string text = value == std::string::npos ? std::string() : line.substr(value);
        if (key == "proxyPort") {
            long port = strtol(text.c_str(), nullptr, 0);
            if (port > 0 && port <= 65535)
                StandIn.Port = static_cast<unsigned short>(port);
        } else if (key == "disableLocalInterface") {
            StandIn.DisableLocalInterface = ConfigTrue(text);
        } else if (key == "disableConfiguration") {
            StandIn.DisableConfiguration = ConfigTrue(text);
        }
    }
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

bool IsDirectory(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// dir is the cache root or one folder inside it; the root itself is never made here.
void WriteCacheEntry(const std::wstring &dir, const wchar_t *name, int index)
{
    CreateDirectoryW(dir.c_str(), nullptr);
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

// Like the real proxy, a missing root is not created: the disk cache is
// simply off, which kelvor must notice for itself.
void FillCache(const std::wstring &root)
{
    if (!IsDirectory(root)) {
        WriteLogLine(L"Disabling disk cache: No such file or directory");
        return;
    }
    // Named as the real proxy names them: a folder per server, the MD5 of the URL in base64
    // (http://127.0.0.1:18080/a, /b and http://example.com/).
    WriteCacheEntry(root + L"\\127.0.0.1%3A18080", L"DF1GTejMnKXkd9tpHf+Axw==", 1);
    WriteCacheEntry(root + L"\\127.0.0.1%3A18080", L"-B6OC-YcDWEWaTakbub3tQ==", 2);
    WriteCacheEntry(root + L"\\example.com", L"pr8XV--wV-JmtpffnPF2-Q==", 3);
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

std::string Answer(const std::string &status, const std::string &extraHeaders,
                   const std::string &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// The real proxy's status form: each field names an action; it answers
// 303 when all were done and 400 naming the first it does not know.
std::string ServeStatusForm(const std::string &form)
{
    bool writeOut = false;
    for (size_t start = 0; start <= form.size();) {
        size_t end = form.find('&', start);
        if (end == std::string::npos)
            end = form.size();
        std::string field = form.substr(start, end - start);
        std::string name = field.substr(0, field.find('='));
        if (name == "writeout-objects")
            writeOut = true;
        else if (!name.empty())
            return Answer("400 Unknown action " + name, "",
                          "<!DOCTYPE html>\n<html><body><p>Unknown action</p></body></html>\n");
        start = end + 1;
    }
    // Every object the stand-in holds is already on disk; the line is
    // how tests see that kelvor asked.
    if (writeOut)
        WriteLogLine(L"writeout-objects: all objects written out");
    return Answer("303 Done", "Location: /polipo/status?\r\n", "");
}

// The real proxy's configuration form, for the one variable kelvor sets: 303 when set, 400 as
// the real one answers a variable it cannot parse.
std::string ServeConfigForm(const std::string &form)
{
    if (form != "proxyOffline=true" && form != "proxyOffline=false")
        return Answer("400 Couldn't parse variable to set", "", "");
    StandIn.Offline = form == "proxyOffline=true";
    WriteLogLine(StandIn.Offline ? L"proxyOffline: true" : L"proxyOffline: false");
    return Answer("303 Done", "Location: /polipo/config?\r\n", "");
}

// The sentence of the real proxy's status page that says whether it works offline.
std::string BuildStatusPage()
{
    return "<!DOCTYPE html>\n<html><body><p>The private proxy on 127.0.0.1:" + std::to_string(StandIn.Port) +
           " is " + (StandIn.Offline ? "off line" : "on line") + ".</p></body></html>\n";
}

// Index of the first body byte, or npos while the head is incomplete.
size_t BodyStart(const std::string &request)
{
    size_t end = request.find("\r\n\r\n");
    if (end != std::string::npos)
        return end + 4;
    end = request.find("\n\n");
    return end == std::string::npos ? end : end + 2;
}

size_t ContentLength(const std::string &head)
{
    std::string lower = head;
    for (char &ch : lower)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    size_t at = lower.find("\ncontent-length:");
    return at == std::string::npos ? 0 : strtoul(lower.c_str() + at + 16, nullptr, 10);
}

bool RequestComplete(const std::string &request)
{
    size_t body = BodyStart(request);
    return body != std::string::npos &&
           request.size() - body >= ContentLength(request.substr(0, body));
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
    size_t body = BodyStart(req);

    std::string answer;
    bool local = path.compare(0, 8, "/polipo/") == 0;
    // As the real proxy answers: its local pages are gone, or its forms are refused.
    if (local && StandIn.DisableLocalInterface && method == "POST")
        answer = Answer("405 Method not allowed", "", "");
    else if (local && StandIn.DisableLocalInterface)
        answer = Answer("404 Not found", "", "");
    else if (method == "POST" && StandIn.DisableConfiguration && (path == "/polipo/status" || path == "/polipo/config"))
        answer = Answer("403 Action not allowed", "", "");
    else if (method == "POST" && path == "/polipo/status")
        answer = ServeStatusForm(body == std::string::npos ? "" : req.substr(body));
    else if (method == "POST" && path == "/polipo/config")
        answer = ServeConfigForm(body == std::string::npos ? "" : req.substr(body));
    else if (path == "/polipo/status")
        answer = Answer("200 OK", "", BuildStatusPage());
    else if (path == "/polipo/config")
        answer = Answer("200 OK", "", BuildConfigPage());
    else
        answer = Answer("404 Not Found", "",
                        "<!DOCTYPE html>\n<html><head><title>Not found</title></head>"
                        "<body><p>Not found</p></body></html>\n");
    if (method == "HEAD")
        answer = answer.substr(0, BodyStart(answer));
    SendAll(c.Socket, answer);
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
        if (RequestComplete(std::string(c.Buffer, c.Length)) ||
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
    // As the real proxy does: connections that it closed moments ago (a
    // stop, a status request) must not keep the next proxy off its port.
    // Under Wine this never takes a port that another proxy listens on.
    BOOL reuse = TRUE;
    setsockopt(StandIn.Listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
               sizeof reuse);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(StandIn.Port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(StandIn.Listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(StandIn.Listener, 8) != 0 ||
        WSAAsyncSelect(StandIn.Listener, hwnd, WM_PROXY_SOCKET, FD_ACCEPT) != 0) {
        closesocket(StandIn.Listener);
        StandIn.Listener = INVALID_SOCKET;
        WriteLogLine(L"config page not served: port " + std::to_wstring(StandIn.Port) + L" unavailable");
        return;
    }
    WriteLogLine(L"Established listening socket on port " + std::to_wstring(StandIn.Port) + L".");
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

// Top-level windows only on request: the real proxy has none, so by
// default nothing can ask the stand-in to close either.
void CreateRequestedWindows(HINSTANCE inst)
{
    std::wstring value;
    StandIn.IgnoreClose = ReadEnvironment(L"KELVOR_PROXY_IGNORE_CLOSE", value) && value == L"1";
    ReadEnvironment(L"KELVOR_PROXY_CLOSE_LOG", StandIn.CloseLog);
    int windows = 0;
    if (ReadEnvironment(L"KELVOR_PROXY_WINDOWS", value)) {
        windows = _wtoi(value.c_str());
        windows = windows < 0 ? 0 : windows > MAX_WINDOWS ? MAX_WINDOWS : windows;
    }
    for (int i = 1; i <= windows; ++i) {
        std::wstring title = L"stand-in " + std::to_wstring(i);
        CreateWindowExW(0, CLASS_NAME, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 200, 100, nullptr, nullptr, inst, nullptr);
    }
}

int RunProxy(HINSTANCE inst)
{
    if (!StandIn.CacheRoot.empty())
        FillCache(MakeFileSystemPath(StandIn.CacheRoot));

    WNDCLASSW wc = {};
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = inst;
    wc.lpszClassName = CLASS_NAME;
    if (!RegisterClassW(&wc))
        return 0;
    // Socket notifications need a window; a message-only one is invisible
    // to EnumWindows, as the real proxy's console is to kelvor.
    HWND sockets = CreateWindowExW(0, CLASS_NAME, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   inst, nullptr);
    if (!sockets)
        return 0;
    CreateRequestedWindows(inst);

    for (Client &c : StandIn.Clients)
        c.Socket = INVALID_SOCKET;
    StartServer(sockets);

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
    // Everything kelvor sets comes on the command line, so the file named
    // by -c only has to exist; of its contents only the port is read.
    bool purge = false;
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring arg = argv[i];
        size_t eq = arg.find(L'=');
        if (arg == L"-x")
            purge = true;
        else if (arg == L"-c" && i + 1 < argc)
            StandIn.ConfigFile = argv[++i];
        else if (!arg.empty() && arg[0] != L'-' && eq != std::wstring::npos)
            ApplySetting(arg.substr(0, eq), arg.substr(eq + 1));
    }
    if (argv)
        LocalFree(argv);
    return purge;
}

// The real proxy reads its arguments in the ANSI code page, where a name outside it turns into
// '?' or a look-alike; so does this one.
std::wstring CommandLineAsTheProxyReadsIt()
{
    const char *narrow = GetCommandLineA();
    int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

// pid, STARTUPINFO flags and show state, command line, working directory:
// enough for a test to see how kelvor started the proxy.
void RecordStart(const std::wstring &record, const wchar_t *cmdLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    wchar_t cwd[MAX_PATH * 2] = L"";
    GetCurrentDirectoryW(MAX_PATH * 2, cwd);
    AppendLine(record, std::to_wstring(GetCurrentProcessId()) + L"\t" +
                           std::to_wstring(startup.dwFlags) + L"\t" +
                           std::to_wstring(startup.wShowWindow) + L"\t" + cmdLine + L"\t" +
                           cwd + L"\n");
}

} // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int)
{
    const wchar_t *cmdLine = GetCommandLineW();
    std::wstring record;
    if (ReadEnvironment(L"KELVOR_PROXY_RECORD", record))
        RecordStart(record, cmdLine);

    bool purge = ParseArguments(CommandLineAsTheProxyReadsIt().c_str());
    // The real proxy ends at once, before opening its log, when its -c
    // file is missing.
    if (!StandIn.ConfigFile.empty() &&
        GetFileAttributesW(StandIn.ConfigFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // Its last words, on its standard error, as the real one says them.
        std::string words = "Couldn't open config file " + std::string(StandIn.ConfigFile.begin(), StandIn.ConfigFile.end()) +
                            ": No such file or directory\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), words.data(), static_cast<DWORD>(words.size()), &written, nullptr);
        return 1;
    }
    if (!StandIn.ConfigFile.empty())
        ReadConfigFile(StandIn.ConfigFile);

    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    WriteLogLine(L"proxy " + pid + (purge ? L" purging: " : L" starting: ") + cmdLine);

    int rc = 0;
    if (purge) {
        std::wstring delay;
        if (ReadEnvironment(L"KELVOR_PROXY_PURGE_DELAY_MS", delay) && _wtoi(delay.c_str()) > 0)
            Sleep(static_cast<DWORD>(_wtoi(delay.c_str())));
        // The real proxy's Windows build removes nothing here; a build that does is asked for.
        std::wstring removes;
        int removed = StandIn.CacheRoot.empty() || !ReadEnvironment(L"KELVOR_PROXY_PURGE_REMOVES", removes)
                          ? 0
                          : PurgeTree(MakeFileSystemPath(StandIn.CacheRoot));
        WriteLogLine(L"proxy " + pid + L" purged " + std::to_wstring(removed) + L" files");
    } else {
        rc = RunProxy(inst);
    }
    WriteLogLine(L"proxy " + pid + L" exiting");
    return rc;
}
