// kelvor.exe watching its proxy: restarts, giving up, one action at a time, and the end of the
// session, with the stand-in proxy.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "app/resources/resource.h"
#include "proxy/detect.h"
#include "tests/support/support.h"

namespace {

// The tray tip as kelvor keeps it in the main window's hidden child.
std::wstring Tip(HWND main)
{
    return WindowText(GetDlgItem(main, IDC_TIP));
}

bool StartsWith(const std::wstring& text, const std::wstring& start)
{
    return text.compare(0, start.size(), start) == 0;
}

bool IconShown(HWND main)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = main;
    data.uFlags = NIF_TIP;
    lstrcpynW(data.szTip, L"kelvor", ARRAYSIZE(data.szTip));
    return Shell_NotifyIconW(NIM_MODIFY, &data) != 0;
}

void Kill(DWORD pid)
{
    Child proxy(pid);
    TerminateProcess(proxy.Handle(), 9);
    proxy.WaitExit(5000);
}

// Sends a menu command and returns once kelvor has handled it; false if it did not answer.
bool Command(HWND main, UINT command)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(main, WM_COMMAND, command, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

}  // namespace

TEST(Supervision, AProxyKilledFromOutsideRunsAgainAfterAOneSecondPause)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    EXPECT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy on 127.0.0.1:8123"); }));

    DWORD killedAt = GetTickCount();
    Kill(kelvor.Records()[0].Pid);
    // The pause is all kelvor decides; how long the start beyond it takes is the machine's, a
    // figure to read, not to assert.
    std::vector<std::wstring> pauses;
    ASSERT_TRUE(WaitFor([&] {
        std::wstring tip = Tip(kelvor.Main());
        if (StartsWith(tip, L"kelvor: proxy ended") && (pauses.empty() || pauses.back() != tip))
            pauses.push_back(tip);
        return kelvor.Records().size() == 2;
    }));
    DWORD again = GetTickCount() - killedAt;
    std::printf("a killed proxy ran again after %lu ms\n", static_cast<unsigned long>(again));
    EXPECT_GE(again, 1000u);
    for (const std::wstring& tip : pauses)
        EXPECT_EQ(tip, L"kelvor: proxy ended (exit code 9), starting again in 1 s");
    Child second(kelvor.Records()[1].Pid);
    EXPECT_TRUE(second.Running());
    EXPECT_EQ(kelvor.Records()[1].CommandLine, kelvor.Records()[0].CommandLine);
    EXPECT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy on 127.0.0.1:8123"); }));

    // The restarted proxy is supervised like the first: Exit stops it.
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_FALSE(second.Running());
}

TEST(Supervision, AProxyThatEndsAtOnceIsGivenUpAfterThreeEndsUntilRestart)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    // Without its config the stand-in, like the real proxy, ends at once with code 1.
    std::wstring config = kelvor.Program() + L"config";
    ASSERT_TRUE(DeleteFileW(config.c_str()));
    Kill(kelvor.Records()[0].Pid);

    ASSERT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy stopped"); }, 15000))
        << Narrow(Tip(kelvor.Main()));
    EXPECT_EQ(Tip(kelvor.Main()), L"kelvor: proxy stopped (exit code 1). Restart tries again.");
    EXPECT_EQ(kelvor.Records().size(), 3u) << kelvor.Story();
    // It stays given up.
    Sleep(4500);
    EXPECT_EQ(kelvor.Records().size(), 3u);
    EXPECT_TRUE(kelvor.Process().Running());

    WriteFileBytes(config, "");
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 4; }));
    EXPECT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy on 127.0.0.1:8123"); }));
    Sleep(1500);
    EXPECT_TRUE(ProcessAlive(kelvor.Records()[3].Pid));
}

TEST(Supervision, TheGiveUpBalloonSaidWithoutAnIconIsShownOnceTheIconIsBack)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    // The shell starts again: every icon is gone until its "TaskbarCreated".
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = kelvor.Main();
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    ASSERT_TRUE(DeleteFileW((kelvor.Program() + L"config").c_str()));
    Kill(kelvor.Records()[0].Pid);
    ASSERT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy stopped"); }, 15000));
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_TRUE(ShownBalloons().empty());

    DWORD_PTR result = 0;
    ASSERT_NE(SendMessageTimeoutW(kelvor.Main(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG,
                                  15000, &result),
              0);
    ASSERT_TRUE(IconShown(kelvor.Main()));
    ASSERT_TRUE(WaitFor([&] { return ShownBalloons().size() == 1; })) << kelvor.Story();
    // The proxy's own last line first, then kelvor's sentence, within the balloon's 255 characters.
    std::wstring balloon = ShownBalloons()[0];
    // What the proxy said as it ended, on its standard error, as the real one says it.
    const std::wstring last = L"Couldn't open config file config: No such file or directory";
    const std::wstring sentence = L"polipo ended three times within a minute of its start (exit code 1), so kelvor "
                                  L"stopped starting it. Restart in the menu tries again.";
    EXPECT_LE(balloon.size(), 255u);
    EXPECT_EQ(balloon, last + L"\n" + sentence) << Narrow(balloon);
}

TEST(LeftBehind, AKelvorEndedFromOutsideTakesItsProxyOverWhenStartedAgain)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    Child left(kelvor.Records()[0].Pid);
    // "End task" on kelvor: its proxy runs on, in nobody's care.
    TerminateProcess(kelvor.Process().Handle(), 1);
    ASSERT_TRUE(kelvor.Process().WaitExit(5000));
    ASSERT_TRUE(left.Running());

    DWORD start = GetTickCount();
    kelvor.Start();
    ASSERT_TRUE(kelvor.Ready());
    ASSERT_TRUE(WaitFor([&] { return StartsWith(Tip(kelvor.Main()), L"kelvor: proxy on 127.0.0.1:8123"); }));
    std::printf("started again to a supervised proxy: %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_TRUE(TopWindows(kelvor.Process().Id(), L"#32770").empty());
    // Asked to write out what it held, then ended: one proxy of the folder serves.
    EXPECT_TRUE(left.WaitExit(0));
    EXPECT_NE(ReadFileBytes(kelvor.Program() + L"polipo.log").find("writeout-objects"), std::string::npos);
    ASSERT_EQ(kelvor.Records().size(), 2u);
    EXPECT_EQ(ProcessesNamed(L"polipo.exe").size(), 1u);
    EXPECT_TRUE(WaitFor([] {
        for (const std::wstring& balloon : ShownBalloons()) {
            if (StartsWith(balloon, L"kelvor found its proxy still running from its last run"))
                return true;
        }
        return false;
    }));

    // A second kelvor of the folder, by another name of it, finds the proxy in the care of the
    // first, and leaves it.
    {
        ScopedDriveLetter drive(kelvor.Dir().Path());
        ASSERT_TRUE(drive.Made());
        ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", kelvor.RecordFile());
        Child second(drive.Root() + L"kelvor\\kelvor.exe", L"", kelvor.Dir().Path());
        EXPECT_EQ(PressOkOnMessageBox(second.Id()), L"kelvor: polipo has been executed.");
        EXPECT_TRUE(second.WaitExit(15000));
    }
    EXPECT_EQ(kelvor.Records().size(), 2u);
    EXPECT_TRUE(ProcessAlive(kelvor.Records()[1].Pid));

    // Supervised as any proxy kelvor started: restarted when it ends, stopped by Exit.
    Kill(kelvor.Records()[1].Pid);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 3; }));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_FALSE(ProcessAlive(kelvor.Records()[2].Pid));
}

TEST(ProxyLog, ALongLogIsSetAsideBeforeTheNextLaunchUnlessItIsHeld)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    std::wstring log = kelvor.Program() + L"polipo.log", old = log + L".old";
    WriteFileBytes(old, "an older log");
    for (bool held : {true, false}) {
        WriteFileOfSize(log, 2 * 1048576);
        // As an editor or the proxy itself holds it: others may read and write, not rename.
        HANDLE holder = held ? CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
        size_t starts = kelvor.Records().size();
        ASSERT_TRUE(Command(kelvor.Main(), CMD_RESTART));
        ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == starts + 1; }));
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        // The old proxy's last lines went into the log before it was set aside.
        EXPECT_EQ(ReadFileBytes(old).size() >= 2u * 1048576, !held) << held;
        EXPECT_EQ(ReadFileBytes(log).size() >= 2u * 1048576, held) << held;
        EXPECT_TRUE(ProcessAlive(kelvor.Records()[starts].Pid)) << held;
    }
}

TEST(OneActionAtATime, SettingsAndAboutOpenOnce)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    for (UINT command : {CMD_SETTINGS, CMD_ABOUT}) {
        const wchar_t* caption = command == CMD_SETTINGS ? L"Settings" : L"About";
        PostMessageW(kelvor.Main(), WM_COMMAND, command, 0);
        HWND dialog = WaitForWindowTitled(kelvor.Process().Id(), L"#32770", caption);
        ASSERT_NE(dialog, nullptr);
        // Sent, so that it has been handled when the call returns.
        ASSERT_TRUE(Command(kelvor.Main(), command));
        int open = 0;
        for (HWND window : TopWindows(kelvor.Process().Id(), L"#32770"))
            open += WindowText(window) == caption ? 1 : 0;
        EXPECT_EQ(open, 1) << Narrow(caption);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    }
}

TEST(OneActionAtATime, NoCommandRunsAndNothingIsTrimmedWhileKelvorRefusesToStart)
{
    TempDir dir;
    std::wstring other = MakeProgramFolder(dir / L"other");
    Child running(other + L"polipo.exe", L"-c config logFile=polipo.log", other);
    ASSERT_TRUE(running.Started());
    ASSERT_TRUE(WaitFor([&] { return Exists(other + L"polipo.log"); }));

    std::wstring program = MakeProgramFolder(dir / L"kelvor");
    // A cache over its limit, which is the running proxy's to trim, not this kelvor's.
    MakeCacheFile(dir / (L"cache\\" + ProxyFile("http://site/old")), 2000000, 132223104000000000ull);
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache dir=" + Narrow(dir / L"cache") + "\r\ncache size=1\r\n");
    std::wstring record = dir / L"kelvor-proxies.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);
    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    HWND box = WaitForWindowTitled(kelvor.Id(), L"#32770", L"kelvor");
    ASSERT_NE(box, nullptr);
    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    for (UINT command : {CMD_RESTART, CMD_PURGE_CACHE, CMD_SETTINGS, CMD_EXIT})
        EXPECT_TRUE(Command(main, command)) << command;
    EXPECT_TRUE(ReadProxyRecords(record).empty());
    EXPECT_EQ(WaitForWindowTitled(kelvor.Id(), L"#32770", L"Settings", 300), nullptr);
    EXPECT_TRUE(kelvor.Running());

    EXPECT_EQ(PressOkOnMessageBox(kelvor.Id()), L"kelvor: polipo has been executed.");
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(kelvor.ExitCode(), 0u);
    EXPECT_TRUE(ReadProxyRecords(record).empty());
    EXPECT_TRUE(running.Running());
    EXPECT_TRUE(Exists(dir / (L"cache\\" + ProxyFile("http://site/old"))));
}

TEST(Session, TheEndOfTheSessionStopsTheProxyAndRemovesTheIcon)
{
    IconAtDestroy icon;
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    ASSERT_TRUE(icon.Watch(kelvor.Main()));
    Child proxy(kelvor.Records()[0].Pid);
    ASSERT_TRUE(IconShown(kelvor.Main()));
    ASSERT_TRUE(WaitFor([&] {
        return ReadFileBytes(kelvor.Program() + L"polipo.log").find("Established listening socket") != std::string::npos;
    })) << ReadFileBytes(kelvor.Program() + L"polipo.log");

    DWORD_PTR answer = 0;
    ASSERT_NE(SendMessageTimeoutW(kelvor.Main(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 1000, &answer), 0);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    EXPECT_TRUE(proxy.Running());

    FILETIME asked = TimeNow();
    ASSERT_NE(SendMessageTimeoutW(kelvor.Main(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer), 0);
    ASSERT_TRUE(proxy.WaitExit(0));
    std::printf("the session's end stopped the proxy in %lld ms\n", static_cast<long long>(MsUntilExit(asked, proxy.Handle())));
    EXPECT_EQ(icon.Answer(), "gone");
    // It asked the proxy to write out what it held before ending it.
    std::string log = ReadFileBytes(kelvor.Program() + L"polipo.log");
    EXPECT_NE(log.find("writeout-objects"), std::string::npos) << log;
    // kelvor ends with the session, and does not start the proxy again on its way out.
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
    EXPECT_EQ(kelvor.Records().size(), 1u);
}
