// The x64 installer as users run it, silently, in a Wine prefix made fresh for this program by
// tests/installer_test.sh, which also serves a page on 127.0.0.1:18090. The tests run in order
// and build on each other, as the machine's history does: a first install, an install over the
// kelvor that runs with "Use as system proxy" on, an uninstall after kelvor was ended from
// outside, and an install into a folder of the user's choosing. The registry is read back with
// reg query, as an administrator would look.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

constexpr wchar_t UNINSTALL_KEY[] = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kelvor";
constexpr wchar_t RUN_KEY[] = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t INTERNET_SETTINGS[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char PAGE_URL[] = "http://127.0.0.1:18090/page.html";
constexpr char PAGE_TEXT[] = "kelvor's page\n";
const std::string USERS_OWN = "1 user.example:3128";
const std::string KELVORS = "1 127.0.0.1:8123";
// An object of the user's cache, below the program folder.
std::wstring KeptObject()
{
    return L"cache\\" + ProxyFile("http://site/kept");
}

std::wstring Env(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? value : L"";
}

// Where an install without /D= goes.
std::wstring DefaultFolder()
{
    return Env(L"LOCALAPPDATA") + L"\\Programs\\kelvor\\";
}

std::wstring StartMenuShortcut()
{
    wchar_t programs[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs);
    return std::wstring(programs) + L"\\kelvor.lnk";
}

// Runs a command line to its end; its exit code, and its standard output in output. Only then
// does it get a pipe: a kelvor that the installer starts would hold the pipe open for good.
DWORD Run(const std::wstring& commandLine, std::string* output = nullptr)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (output && CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
    }
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, writeEnd != nullptr, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &info);
    if (writeEnd) {
        CloseHandle(writeEnd);
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            output->append(buffer, read);
        CloseHandle(readEnd);
    }
    if (!started)
        return static_cast<DWORD>(-1);
    WaitForSingleObject(info.hProcess, 120000);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

DWORD Install(const std::wstring& folder = L"")
{
    return Run(L"\"" + Env(L"KELVOR_INSTALLER") + L"\" /S" + (folder.empty() ? L"" : L" /D=" + folder));
}

// The silent uninstall that waits: _?= keeps the uninstaller where it is, so it stays behind.
DWORD Uninstall(const std::wstring& folder)
{
    std::wstring dir = folder.substr(0, folder.size() - 1);
    DWORD code = Run(L"\"" + folder + L"uninstall.exe\" /S _?=" + dir);
    DeleteFileW((folder + L"uninstall.exe").c_str());
    RemoveDirectoryW(dir.c_str());
    return code;
}

// A key's values as reg query prints them: name -> "TYPE data". Empty when there is no such key.
std::map<std::string, std::string> RegQuery(const std::wstring& key)
{
    std::string output;
    std::map<std::string, std::string> values;
    if (Run(L"reg query \"" + key + L"\"", &output) != 0)
        return values;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? output.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        size_t type = line.find("    REG_");
        if (line.compare(0, 4, "    ") != 0 || type == std::string::npos)
            continue;
        values[line.substr(4, type - 4)] = line.substr(type + 4);
    }
    return values;
}

// The processes that run exactly this file.
std::vector<DWORD> ProcessesOf(const std::wstring& exe)
{
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes);
    std::vector<DWORD> found;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        wchar_t path[MAX_PATH] = L"";
        if (process && GetModuleFileNameExW(process, nullptr, path, MAX_PATH) && lstrcmpiW(path, exe.c_str()) == 0)
            found.push_back(ids[i]);
        if (process)
            CloseHandle(process);
    }
    return found;
}

// What the registry holds of the LAN's proxy settings: "ProxyEnable ProxyServer".
std::string SystemProxy()
{
    HKEY key = nullptr;
    DWORD enable = 0;
    wchar_t server[512] = L"";
    if (RegOpenKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD bytes = sizeof(enable);
        RegQueryValueExW(key, L"ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&enable), &bytes);
        bytes = sizeof(server) - sizeof(wchar_t);
        RegQueryValueExW(key, L"ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(server), &bytes);
        RegCloseKey(key);
    }
    return std::to_string(enable) + " " + Narrow(server);
}

// The user's own: a manual proxy of their network.
void SetUsersOwnProxy()
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    DWORD enable = 1;
    const wchar_t server[] = L"user.example:3128";
    RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof(enable));
    RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server), sizeof(server));
    RegCloseKey(key);
}

// The page through the proxy on 127.0.0.1:8123, HTTP/1.0 so that the answer ends with the
// connection; its body, or empty.
std::string FetchThroughProxy()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(8123);
    proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    std::string answer;
    std::string request = std::string("GET ") + PAGE_URL + " HTTP/1.0\r\n\r\n";
    if (connect(s, reinterpret_cast<sockaddr*>(&proxy), sizeof(proxy)) == 0 &&
        send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
        char buffer[4096];
        int n;
        while ((n = recv(s, buffer, sizeof(buffer), 0)) > 0)
            answer.append(buffer, n);
    }
    closesocket(s);
    size_t body = answer.find("\r\n\r\n");
    bool ok = answer.compare(0, 5, "HTTP/") == 0 && atoi(answer.c_str() + answer.find(' ') + 1) == 200;
    return ok && body != std::string::npos ? answer.substr(body + 4) : "";
}

bool Send(HWND window, UINT command)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_COMMAND, command, 0, SMTO_ABORTIFHUNG, 15000, &result) != 0;
}

// The kelvor of a folder, started by the installer: its process and main window.
struct Started {
    DWORD Id = 0;
    HWND Main = nullptr;
    std::string Shows() const { return Id ? WhatProcessShows(Id) : "no kelvor of the folder runs"; }
};

Started InstalledKelvor(const std::wstring& folder)
{
    Started kelvor;
    WaitFor([&] {
        std::vector<DWORD> ids = ProcessesOf(folder + L"kelvor.exe");
        kelvor.Id = ids.size() == 1 ? ids[0] : 0;
        return kelvor.Id != 0;
    });
    kelvor.Main = kelvor.Id ? WaitForMainWindow(kelvor.Id) : nullptr;
    return kelvor;
}

class Installer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA winsock;
        WSAStartup(MAKEWORD(2, 2), &winsock);
    }
    void SetUp() override { NoteProxyRelics(); }
    const std::wstring folder_ = DefaultFolder();
};

TEST_F(Installer, ASilentInstallPutsKelvorInTheUsersProgramsFolderAndItServesThroughTheRealProxy)
{
    ASSERT_FALSE(Exists(folder_)) << "the prefix is not fresh";
    ASSERT_EQ(0u, Install());
    for (const wchar_t* file : {L"kelvor.exe", L"polipo.exe", L"polipo-COPYING.txt", L"config", L"readme.txt",
                                L"uninstall.exe"})
        EXPECT_TRUE(Exists(folder_ + file)) << Narrow(file);
    EXPECT_TRUE(Exists(StartMenuShortcut()));

    std::map<std::string, std::string> entry = RegQuery(UNINSTALL_KEY);
    std::string folder = Narrow(folder_.substr(0, folder_.size() - 1));
    std::map<std::string, std::string> expected = {
        {"DisplayName", "REG_SZ    kelvor"},
        {"DisplayVersion", "REG_SZ    " KELVOR_VERSION},
        {"Publisher", "REG_SZ    the kelvor developers"},
        {"DisplayIcon", "REG_SZ    " + folder + "\\kelvor.exe"},
        {"InstallLocation", "REG_SZ    " + folder},
        {"UninstallString", "REG_SZ    \"" + folder + "\\uninstall.exe\""},
        {"QuietUninstallString", "REG_SZ    \"" + folder + "\\uninstall.exe\" /S"},
        {"NoModify", "REG_DWORD    0x1"},
        {"NoRepair", "REG_DWORD    0x1"},
    };
    for (const auto& value : expected)
        EXPECT_EQ(value.second, entry[value.first]) << value.first;
    // In kilobytes: kelvor.exe and the proxy alone take more than 600.
    ASSERT_EQ(0u, entry["EstimatedSize"].find("REG_DWORD    0x"));
    EXPECT_GT(std::stoul(entry["EstimatedSize"].substr(13), nullptr, 16), 600u);

    Child kelvor(folder_ + L"kelvor.exe", L"", folder_);
    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_TRUE(main) << WhatProcessShows(kelvor.Id());
    std::string body;
    EXPECT_TRUE(WaitFor([&] { return (body = FetchThroughProxy()) == PAGE_TEXT; })) << body;
    ASSERT_TRUE(WaitFor(ProxyAtRest));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kelvor.WaitExit(15000));
}

TEST_F(Installer, InstalledAgainOverARunningKelvorItClosesItLikeExitKeepsTheUsersFilesAndStartsItAgain)
{
    ASSERT_TRUE(Exists(folder_ + L"kelvor.exe")) << "needs the first install";
    const std::string config = "# the user's own proxy settings\n";
    WriteFileBytes(folder_ + L"config", config);
    MakeDirs(folder_ + L"cache\\site");
    WriteFileBytes(folder_ + KeptObject(), "a cached object");
    SetUsersOwnProxy();

    TempDir dir;
    ScopedEnv probeTo(L"KELVOR_PROXY_PROBE", dir / L"at-end.txt");
    Child old(folder_ + L"kelvor.exe", L"", folder_);
    HWND main = WaitForMainWindow(old.Id());
    ASSERT_TRUE(main) << WhatProcessShows(old.Id());
    ASSERT_TRUE(WaitFor([] { return FetchThroughProxy() == PAGE_TEXT; }));
    ASSERT_TRUE(Send(main, CMD_SYSTEM_PROXY));
    ASSERT_EQ(KELVORS, SystemProxy());
    std::string settings = ReadFileBytes(folder_ + L"kelvor.ini");
    ASSERT_FALSE(settings.empty());
    HMODULE probe = LoadLibraryW((BinDir() + L"\\icon_probe.dll").c_str());
    auto atEnd = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, "ProxyAfterDestroy")));
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, atEnd, probe, GetWindowThreadProcessId(main, nullptr));
    ASSERT_TRUE(hook);
    // A kelvor of another folder, refused as a proxy runs: its main window is there all along.
    std::wstring other = MakeProgramFolder(dir / L"other");
    Child refused(other + L"kelvor.exe", L"", other);
    ASSERT_TRUE(WaitForTopWindow(refused.Id(), L"#32770"));
    ASSERT_TRUE(WaitFor(ProxyAtRest));

    ASSERT_EQ(0u, Install());
    ASSERT_TRUE(old.WaitExit(0)) << "the installer returned before kelvor had ended";
    EXPECT_EQ(0u, old.ExitCode()) << "ended from outside, not by WM_CLOSE";
    EXPECT_EQ(USERS_OWN, ReadFileBytes(dir / L"at-end.txt")) << "what kelvor's end left of the system proxy";
    EXPECT_TRUE(refused.Running());
    EXPECT_EQ(config, ReadFileBytes(folder_ + L"config"));
    EXPECT_EQ(settings, ReadFileBytes(folder_ + L"kelvor.ini"));
    EXPECT_TRUE(Exists(folder_ + KeptObject()));
    Started again = InstalledKelvor(folder_);
    EXPECT_TRUE(again.Main) << again.Shows();
    EXPECT_NE(old.Id(), again.Id);
    // The choice was kept, and the kelvor started again points the system at its proxy again.
    EXPECT_TRUE(WaitFor([] { return SystemProxy() == KELVORS; })) << SystemProxy();
    EXPECT_TRUE(WaitFor([] { return FetchThroughProxy() == PAGE_TEXT; }));

    UnhookWindowsHookEx(hook);
    FreeLibrary(probe);
    EXPECT_EQ("kelvor: polipo has been executed.", Narrow(PressOkOnMessageBox(refused.Id())));
    EXPECT_TRUE(refused.WaitExit(15000));
}

TEST_F(Installer, UninstalledSilentlyAfterKelvorWasEndedFromOutsideTheUsersProxySettingsAreBack)
{
    Started kelvor = InstalledKelvor(folder_);
    ASSERT_TRUE(kelvor.Main) << "needs the kelvor the install before started: " << kelvor.Shows();
    ASSERT_TRUE(WaitFor([] { return SystemProxy() == KELVORS; }));
    ASSERT_TRUE(Send(kelvor.Main, CMD_START_WITH_WINDOWS));
    ASSERT_EQ("REG_SZ    \"" + Narrow(folder_) + "kelvor.exe\"", RegQuery(RUN_KEY)["kelvor"]);
    std::vector<DWORD> proxies = ProcessesOf(folder_ + L"polipo.exe");
    ASSERT_EQ(1u, proxies.size());
    // Ended from outside: it gives nothing back, and its proxy runs on.
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, kelvor.Id);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
    ASSERT_FALSE(ProcessAlive(kelvor.Id));
    ASSERT_TRUE(Exists(folder_ + L"proxy-restore.ini"));
    ASSERT_EQ(KELVORS, SystemProxy());
    // The proxy of another folder, on a port of its own.
    TempDir dir;
    std::wstring other = MakeProgramFolder(dir / L"other");
    WriteFileBytes(other + L"config", "proxyPort = 8124\n");
    Child otherProxy(other + L"polipo.exe", L"-c config", other);
    ASSERT_TRUE(WaitFor(ProxyAtRest));

    ASSERT_EQ(0u, Uninstall(folder_));
    EXPECT_FALSE(ProcessAlive(proxies[0]));
    EXPECT_TRUE(otherProxy.Running());
    EXPECT_EQ(USERS_OWN, SystemProxy());
    EXPECT_FALSE(Exists(folder_ + L"proxy-restore.ini"));
    for (const wchar_t* file : {L"kelvor.exe", L"polipo.exe", L"polipo-COPYING.txt", L"readme.txt", L"polipo.log"})
        EXPECT_FALSE(Exists(folder_ + file)) << Narrow(file);
    EXPECT_FALSE(Exists(StartMenuShortcut()));
    EXPECT_TRUE(RegQuery(UNINSTALL_KEY).empty());
    EXPECT_EQ(0u, RegQuery(RUN_KEY).count("kelvor"));
    for (const std::wstring& kept : {std::wstring(L"kelvor.ini"), std::wstring(L"config"), KeptObject()})
        EXPECT_TRUE(Exists(folder_ + kept)) << Narrow(kept);
}

TEST_F(Installer, InstalledWithDThereAndAgainWithoutTheUninstallLeavesAnotherCopysStartWithWindows)
{
    ASSERT_FALSE(Exists(folder_ + L"kelvor.exe")) << "needs the uninstall before";
    TempDir dir;
    std::wstring chosen = dir / L"my programs\\kelvor\\";
    ASSERT_EQ(0u, Install(chosen.substr(0, chosen.size() - 1)));
    EXPECT_TRUE(Exists(chosen + L"kelvor.exe"));
    ASSERT_EQ(0u, Install());
    EXPECT_EQ("REG_SZ    " + Narrow(chosen.substr(0, chosen.size() - 1)), RegQuery(UNINSTALL_KEY)["InstallLocation"]);
    EXPECT_FALSE(Exists(folder_ + L"kelvor.exe"));

    const std::wstring another = L"\"C:\\another copy\\kelvor.exe\"";
    HKEY run = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY + 5, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &run, nullptr);
    RegSetValueExW(run, L"kelvor", 0, REG_SZ, reinterpret_cast<const BYTE*>(another.c_str()),
                   static_cast<DWORD>((another.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(run);
    ASSERT_EQ(0u, Uninstall(chosen));
    EXPECT_FALSE(Exists(chosen + L"kelvor.exe"));
    EXPECT_TRUE(RegQuery(UNINSTALL_KEY).empty());
    EXPECT_EQ("REG_SZ    " + Narrow(another), RegQuery(RUN_KEY)["kelvor"]);
}

}  // namespace
