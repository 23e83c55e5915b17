// The tray icon, its menu and the menu's commands, driven with window messages to kelvor.exe
// running for real with the stand-in proxy.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <set>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;

// The open popup menu of process pid, if there is one.
HWND OpenMenu(DWORD pid)
{
    for (HWND window : TopWindows(pid, L"#32768"))
        if (IsWindowVisible(window))
            return window;
    return nullptr;
}

HWND WaitForOpenMenu(DWORD pid)
{
    HWND menu = nullptr;
    WaitFor([&] { return (menu = OpenMenu(pid)) != nullptr; });
    return menu;
}

// The notification-area icon that kelvor adds, as the shell knows it.
NOTIFYICONDATAW IconOf(HWND main)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = main;
    data.uID = 0;
    return data;
}

bool IconShown(HWND main)
{
    NOTIFYICONDATAW data = IconOf(main);
    data.uFlags = NIF_TIP;
    lstrcpynW(data.szTip, L"kelvor", ARRAYSIZE(data.szTip));
    return Shell_NotifyIconW(NIM_MODIFY, &data) != 0;
}

// Sets the default value of a key under root's Software\Classes, and puts back what was there,
// removing the keys it created, at the end of the scope.
class ScopedClassesValue {
public:
    ScopedClassesValue(HKEY root, const std::wstring& subKey, const std::wstring& value) : root_(root)
    {
        std::wstring path = L"Software\\Classes";
        size_t start = 0;
        // Key by key, to know which ones are new.
        while (start <= subKey.size()) {
            size_t end = subKey.find(L'\\', start);
            if (end == std::wstring::npos)
                end = subKey.size();
            path += L"\\" + subKey.substr(start, end - start);
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExW(root_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition) != ERROR_SUCCESS)
                return;
            if (disposition == REG_CREATED_NEW_KEY)
                created_.push_back(path);
            RegCloseKey(key);
            start = end + 1;
        }
        path_ = path;
        wchar_t old[1024];
        DWORD size = sizeof(old);
        hadOld_ = RegGetDefault(old, size);
        if (hadOld_)
            old_ = old;
        SetDefault(value);
    }

    ~ScopedClassesValue()
    {
        if (hadOld_)
            SetDefault(old_);
        for (auto key = created_.rbegin(); key != created_.rend(); ++key)
            RegDeleteKeyW(root_, key->c_str());
    }

    ScopedClassesValue(const ScopedClassesValue&) = delete;
    ScopedClassesValue& operator=(const ScopedClassesValue&) = delete;

private:
    bool RegGetDefault(wchar_t* value, DWORD& size) const
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return false;
        bool found = RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
                     ERROR_SUCCESS;
        RegCloseKey(key);
        return found;
    }

    void SetDefault(const std::wstring& value) const
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }

    HKEY root_;
    std::wstring path_;
    std::vector<std::wstring> created_;
    std::wstring old_;
    bool hadOld_ = false;
};

// The shell_recorder registered as the browser and the log viewer for the scope: what the shell
// opens is written to Opened, one line each.
struct ShellRecorder {
    ShellRecorder()
    {
        std::wstring recorder = L"\"" + BinDir() + L"\\shell_recorder.exe\" \"%1\"";
        // Windows looks for the user's own choice first; Wine 8 reads only the machine's classes.
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            Registered.push_back(std::make_unique<ScopedClassesValue>(root, L"http\\shell\\open\\command", recorder));
            Registered.push_back(std::make_unique<ScopedClassesValue>(root, L".log", L"kelvor.test.logfile"));
            Registered.push_back(
                std::make_unique<ScopedClassesValue>(root, L"kelvor.test.logfile\\shell\\open\\command", recorder));
        }
    }
    TempDir Dir;
    std::wstring Opened = Dir / L"opened.txt";
    std::vector<std::unique_ptr<ScopedClassesValue>> Registered;
    ScopedEnv RecordTo{L"KELVOR_RECORDER_LOG", Opened};
};

}  // namespace

TEST(Tray, ButtonPressesOpenTheMenuAndOtherMouseMessagesDoNot)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    DWORD pid = kelvor.Process().Id();

    for (UINT mouse : {WM_LBUTTONUP, WM_RBUTTONUP, WM_MOUSEMOVE, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK}) {
        // Sent, not posted: the answer comes once kelvor has handled it, and would not come in
        // time if it had opened a menu.
        DWORD_PTR result = 0;
        EXPECT_NE(SendMessageTimeoutW(kelvor.Main(), WM_TRAYNOTIFY, 0, mouse, SMTO_ABORTIFHUNG, 5000, &result),
                  0)
            << mouse;
        EXPECT_EQ(OpenMenu(pid), nullptr) << mouse;
    }

    for (UINT mouse : {WM_LBUTTONDOWN, WM_RBUTTONDOWN}) {
        PostMessageW(kelvor.Main(), WM_TRAYNOTIFY, 0, mouse);
        HWND menu = WaitForOpenMenu(pid);
        ASSERT_NE(menu, nullptr) << mouse;
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        EXPECT_TRUE(WaitFor([&] { return OpenMenu(pid) == nullptr; })) << mouse;
        EXPECT_TRUE(WaitUntilIdle(kelvor.Main())) << mouse;
    }
    EXPECT_TRUE(kelvor.Process().Running());
}

TEST(Tray, AMenuItemPickedByItsKeyRunsItsCommand)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    DWORD pid = kelvor.Process().Id();

    PostMessageW(kelvor.Main(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
    HWND menu = WaitForOpenMenu(pid);
    ASSERT_NE(menu, nullptr);
    PostMessageW(menu, WM_CHAR, L'a', 0);
    HWND about = WaitForWindowTitled(pid, L"#32770", L"About");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(OpenMenu(pid), nullptr);
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }));

    // The menu's own mnemonic for Exit ends the program.
    PostMessageW(kelvor.Main(), WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
    menu = WaitForOpenMenu(pid);
    ASSERT_NE(menu, nullptr);
    PostMessageW(menu, WM_CHAR, L'x', 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
}

TEST(Tray, EachShowingOfTheMenuGivesBackItsMenu)
{
    MenuProbe probe;
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    ASSERT_TRUE(probe.Watch(kelvor.Main()));
    EXPECT_EQ(probe.Ask(kelvor.Main(), nullptr), "none");
    DWORD pid = kelvor.Process().Id();

    for (int showing = 0; showing < 3; ++showing) {
        PostMessageW(kelvor.Main(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
        HWND menu = WaitForOpenMenu(pid);
        ASSERT_NE(menu, nullptr);
        DWORD_PTR handle = 0;
        ASSERT_NE(SendMessageTimeoutW(menu, MN_GETHMENU, 0, 0, SMTO_ABORTIFHUNG, 5000, &handle), 0);
        HMENU shown = reinterpret_cast<HMENU>(handle);
        ASSERT_EQ(probe.Ask(kelvor.Main(), shown), "menu");
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        ASSERT_TRUE(WaitFor([&] { return OpenMenu(pid) == nullptr; }));
        ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
        EXPECT_EQ(probe.Ask(kelvor.Main(), shown), "none") << "showing " << showing << " kept its menu";
    }
}

TEST(Tray, TheIconIsAddedAgainWhenTheTaskbarIsCreatedAgain)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    HWND main = kelvor.Main();
    UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    DWORD_PTR result = 0;

    ASSERT_TRUE(IconShown(main));
    // A shell that restarts has lost every icon.
    NOTIFYICONDATAW data = IconOf(main);
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    ASSERT_FALSE(IconShown(main));

    ASSERT_NE(SendMessageTimeoutW(main, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 15000, &result), 0);
    EXPECT_TRUE(IconShown(main));

    // The message also comes while the icon is still there; that is no reason to give up.
    ASSERT_NE(SendMessageTimeoutW(main, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 15000, &result), 0);
    EXPECT_TRUE(WaitUntilIdle(main));
    EXPECT_TRUE(kelvor.Process().Running());
    EXPECT_TRUE(IsWindow(main));
    EXPECT_TRUE(IconShown(main));
}

TEST(Commands, ExitStopsTheProxyRemovesTheIconThenEndsWithCodeZero)
{
    IconAtDestroy icon;
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    ASSERT_TRUE(icon.Watch(kelvor.Main()));
    HANDLE proxy = OpenProcess(SYNCHRONIZE, FALSE, kelvor.Records()[0].Pid);
    ASSERT_NE(proxy, nullptr);

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
    EXPECT_EQ(WaitForSingleObject(proxy, 0), WAIT_OBJECT_0);
    CloseHandle(proxy);
    EXPECT_EQ(icon.Answer(), "gone");
}

TEST(Commands, RestartEndsTheProxyAndStartsItAgainTheSameWay)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    ProxyRecord first = kelvor.Records()[0];
    HANDLE firstProcess = OpenProcess(SYNCHRONIZE, FALSE, first.Pid);
    ASSERT_NE(firstProcess, nullptr);

    for (size_t restarts = 1; restarts <= 2; ++restarts) {
        PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
        ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == restarts + 1; }));
    }
    std::vector<ProxyRecord> records = kelvor.Records();
    EXPECT_EQ(WaitForSingleObject(firstProcess, 0), WAIT_OBJECT_0);
    CloseHandle(firstProcess);
    EXPECT_FALSE(ProcessAlive(records[1].Pid));
    EXPECT_TRUE(ProcessAlive(records[2].Pid));
    for (const ProxyRecord& record : records) {
        EXPECT_EQ(record.CommandLine, first.CommandLine);
        EXPECT_EQ(record.Directory, first.Directory);
    }
    EXPECT_TRUE(kelvor.Process().Running());

    // The proxy kelvor stops on exit is the newest one.
    HANDLE last = OpenProcess(SYNCHRONIZE, FALSE, records[2].Pid);
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(WaitForSingleObject(last, 0), WAIT_OBJECT_0);
    CloseHandle(last);
}

TEST(Commands, PurgeRunsBesideTheProxyThenRemovesWhatWasNotUsedFor32Days)
{
    // A cache folder that exists: the proxy does not make one.
    TempDir cache;
    RunningKelvor kelvor("[kelvor]\r\ncache dir=" + Narrow(cache.Path()) + "\r\n");
    ASSERT_TRUE(kelvor.Ready());
    ProxyRecord proxy = kelvor.Records()[0];
    HANDLE proxyProcess = OpenProcess(SYNCHRONIZE, FALSE, proxy.Pid);
    ASSERT_NE(proxyProcess, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Exists(cache / ProxyFile("http://example.com/")); }));
    // Read last 40 and 31 days ago.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t day = 24ull * 3600 * 10000000;
    uint64_t today = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    MakeCacheFile(cache / ProxyFile("http://site/unused"), 2 * 1048576, today - 40 * day);
    MakeCacheFile(cache / ProxyFile("http://site/used"), 1000, today - 31 * day);

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_PURGE_CACHE, 0);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    ProxyRecord purge = kelvor.Records()[1];
    std::wstring normalLine = proxy.CommandLine;
    std::wstring exe = L"\"" + kelvor.Program() + L"polipo.exe\"";
    ASSERT_EQ(normalLine.compare(0, exe.size(), exe), 0) << Narrow(normalLine);
    EXPECT_EQ(purge.CommandLine, exe + L" -x" + normalLine.substr(exe.size()));
    EXPECT_EQ(purge.Directory, proxy.Directory);
    // The purge run ends by itself; then kelvor removes what was not used for 32 days. The
    // proxy stays.
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(purge.Pid); }));
    EXPECT_TRUE(WaitFor([&] { return !Exists(cache / ProxyFile("http://site/unused")); }));
    EXPECT_TRUE(Exists(cache / ProxyFile("http://site/used")));
    EXPECT_TRUE(Exists(cache / ProxyFile("http://example.com/")));
    EXPECT_EQ(WaitForSingleObject(proxyProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // It is still the proxy that kelvor supervises.
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(WaitForSingleObject(proxyProcess, 0), WAIT_OBJECT_0);
    CloseHandle(proxyProcess);
}

TEST(Commands, ConfigAndViewLogOpenThroughTheShell)
{
    ShellRecorder shell;
    const std::wstring& opened = shell.Opened;

    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    ASSERT_TRUE(WaitFor([&] { return Exists(kelvor.Program() + L"polipo.log"); }));

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_CONFIG, 0);
    ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(opened).empty(); }));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_VIEW_LOG, 0);
    ASSERT_TRUE(WaitFor([&] {
        std::string lines = ReadFileBytes(opened);
        return std::count(lines.begin(), lines.end(), '\n') == 2;
    }));

    std::wstring lines = Widen(ReadFileBytes(opened));
    std::wstring first = lines.substr(0, lines.find(L'\n'));
    std::wstring second = lines.substr(first.size() + 1);
    second.pop_back();
    EXPECT_NE(first.find(L"\" \"http://127.0.0.1:8123/polipo/config"), std::wstring::npos) << Narrow(first);
    EXPECT_NE(second.find(L"\" \"" + kelvor.Program() + L"polipo.log\""), std::wstring::npos) << Narrow(second);
    EXPECT_TRUE(kelvor.Process().Running());
    // A log that is not there is named in a message, with the system's reason.
    ASSERT_TRUE(DeleteFileW((kelvor.Program() + L"polipo.log").c_str()));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_VIEW_LOG, 0);
    std::wstring said = PressOkOnMessageBox(kelvor.Process().Id());
    EXPECT_EQ(said.rfind(L"kelvor: " + kelvor.Program() + L"polipo.log could not be opened: ", 0), 0u) << Narrow(said);
    EXPECT_NE(said.find(L"(2)"), std::wstring::npos) << Narrow(said);
    EXPECT_TRUE(kelvor.Process().Running());
}

TEST(Commands, AFailedRestartIsReportedAndKelvorStaysWithTheProxyStopped)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    // A running program can be renamed, not deleted.
    std::wstring proxy = kelvor.Program() + L"polipo.exe";
    ASSERT_TRUE(MoveFileW(proxy.c_str(), (kelvor.Program() + L"old.exe").c_str()));

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    EXPECT_EQ(PressOkOnMessageBox(kelvor.Process().Id()), L"kelvor: Failed to boot polipo (2)");
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_TRUE(kelvor.Process().Running());
    EXPECT_FALSE(ProcessAlive(kelvor.Records()[0].Pid));
    EXPECT_EQ(WindowText(GetDlgItem(kelvor.Main(), IDC_TIP)),
              L"kelvor: proxy stopped (Failed to boot polipo (2)). Restart tries again.");

    // And Restart does.
    ASSERT_TRUE(MoveFileW((kelvor.Program() + L"old.exe").c_str(), proxy.c_str()));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    EXPECT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
}

TEST(Commands, ThePortInTheProxysConfigIsWhereKelvorTalksToItAndWhatItShows)
{
    ShellRecorder shell;
    RunningKelvor kelvor("", "# the proxy's own settings\r\nproxyPort = 8124 # not the usual port\r\n");
    ASSERT_TRUE(kelvor.Ready());
    std::wstring log = kelvor.Program() + L"polipo.log";
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(log).find("listening socket on port 8124") != std::string::npos; }))
        << ReadFileBytes(log);

    EXPECT_TRUE(WaitFor([&] {
        return WindowText(GetDlgItem(kelvor.Main(), IDC_TIP)).rfind(L"kelvor: proxy on 127.0.0.1:8124", 0) == 0;
    })) << Narrow(WindowText(GetDlgItem(kelvor.Main(), IDC_TIP)));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_CONFIG, 0);
    ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(shell.Opened).empty(); }));
    EXPECT_NE(ReadFileBytes(shell.Opened).find("\" \"http://127.0.0.1:8124/polipo/config\""), std::string::npos)
        << ReadFileBytes(shell.Opened);

    // Exit asks the proxy to write out what it holds, on its own port.
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_NE(ReadFileBytes(log).find("writeout-objects"), std::string::npos) << ReadFileBytes(log);
}
