// Stopping and restarting the supervised proxy, with the stand-in proxy as a real process.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/control/supervised_proxy.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "proxy/launch.h"
#include "proxy/stop.h"
#include "proxy/writeout.h"
#include "tests/support/support.h"

namespace {

// kelvor's state as it is at start-up with the program folder in dir.
void UseProgramFolder(const TempDir& dir)
{
    lstrcpynW(App.AppName, L"kelvor", 100);
    App.ProgramDir = MakeProgramFolder(dir / L"program");
    App.Config.CacheDir = dir / L"cache";
    App.CacheFolder = App.Config.CacheDir;
    App.ProxyProcess = PROCESS_INFORMATION{};
    App.ProxyListens = ProxyAddress{L"127.0.0.1", 8123};
}

// A proxy still recorded when a test fails half-way must not outlive the test.
struct ForgetProxyAtEnd {
    ~ForgetProxyAtEnd()
    {
        // A restart watches its new proxy: the wait goes before the handle it waits on.
        StopWatchingProxy();
        if (App.ProxyProcess.hProcess) {
            TerminateProcess(App.ProxyProcess.hProcess, 1);
            WaitForSingleObject(App.ProxyProcess.hProcess, 5000);
            CloseHandle(App.ProxyProcess.hProcess);
        }
        App.ProxyProcess = PROCESS_INFORMATION{};
    }
};

bool AllZero(const PROCESS_INFORMATION& process)
{
    return !process.hProcess && !process.hThread && !process.dwProcessId && !process.dwThreadId;
}

std::vector<std::wstring> Lines(const std::wstring& path)
{
    std::vector<std::wstring> lines;
    std::wstring text = Widen(ReadFileBytes(path));
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}

// Launches the proxy as kelvor does and waits until it has a window to be asked to close; the
// caller asks the stand-in for windows, which the real proxy never has.
DWORD LaunchProxyAndWaitForWindow()
{
    DWORD error = 0;
    if (!LaunchProxy(App.ProgramDir, App.Config.CacheDir, ProxyMode::Serve, App.ProxyProcess, error))
        return 0;
    DWORD pid = App.ProxyProcess.dwProcessId;
    return WaitForTopWindow(pid, L"StandInProxy") ? pid : 0;
}

DWORD StopProxyTimed()
{
    DWORD start = GetTickCount();
    StopProxy(App.ProxyProcess, SupervisedProxyAddress());
    return GetTickCount() - start;
}

// Launches the proxy as kelvor does, with the real proxy's habits, and waits until it runs.
DWORD LaunchProxyAndWaitUntilUp()
{
    DWORD error = 0;
    if (!LaunchProxy(App.ProgramDir, App.Config.CacheDir, ProxyMode::Serve, App.ProxyProcess, error))
        return 0;
    return WaitForInputIdle(App.ProxyProcess.hProcess, 10000) == 0 ? App.ProxyProcess.dwProcessId : 0;
}

// A stand-in that kelvor knows nothing of, from a program folder of its own, with a window that
// would log a close posted to it.
Child StartUnrecordedStandIn(const TempDir& dir, const std::wstring& closeLog)
{
    ScopedEnv logCloses(L"KELVOR_PROXY_CLOSE_LOG", closeLog);
    ScopedEnv window(L"KELVOR_PROXY_WINDOWS", L"1");
    std::wstring program = MakeProgramFolder(dir / L"other");
    Child other(program + L"polipo.exe", L"", program);
    WaitForTopWindow(other.Id(), L"StandInProxy");
    return other;
}

}  // namespace

TEST(StopProxy, AProxyThatClosesIsLeftToExitByItselfAndStopReturnsOnceItHasEnded)
{
    TempDir dir;
    UseProgramFolder(dir);
    ForgetProxyAtEnd forget;
    ScopedEnv window(L"KELVOR_PROXY_WINDOWS", L"1");
    ScopedEnv logCloses(L"KELVOR_PROXY_CLOSE_LOG", dir / L"closes.txt");
    DWORD pid = LaunchProxyAndWaitForWindow();
    ASSERT_NE(pid, 0u);
    Child proxy(pid);
    ASSERT_TRUE(proxy.Started());

    // The first use of the network in a process keeps some handles of the system's for good:
    // the request a stop makes is made once before counting.
    AskProxyToWriteOut(SupervisedProxyAddress(), 1000);
    DWORD handlesBefore = OwnHandleCount();
    DWORD elapsed = StopProxyTimed();

    EXPECT_FALSE(proxy.Running());
    std::printf("a closing proxy was stopped in %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_EQ(proxy.ExitCode(), 0u);
    // Only a proxy that ran to its own end writes this line, a terminated one never does: it
    // ended by itself.
    EXPECT_TRUE(Contains(Widen(ReadFileBytes(App.ProgramDir + L"polipo.log")),
                         L"proxy " + std::to_wstring(pid) + L" exiting"));
    EXPECT_EQ(Lines(dir / L"closes.txt"), std::vector<std::wstring>{std::to_wstring(pid) + L"\tstand-in 1"});
    EXPECT_TRUE(AllZero(App.ProxyProcess));
    // The one handle kelvor kept for the proxy is gone, and nothing else was left open.
    EXPECT_EQ(OwnHandleCount(), handlesBefore - 1);
}

TEST(StopProxy, AProxyThatIgnoresCloseIsTerminatedWithCodeZeroAfterFiveSeconds)
{
    TempDir dir;
    UseProgramFolder(dir);
    ForgetProxyAtEnd forget;
    ScopedEnv window(L"KELVOR_PROXY_WINDOWS", L"1");
    ScopedEnv ignoreClose(L"KELVOR_PROXY_IGNORE_CLOSE", L"1");
    ScopedEnv logCloses(L"KELVOR_PROXY_CLOSE_LOG", dir / L"closes.txt");
    DWORD pid = LaunchProxyAndWaitForWindow();
    ASSERT_NE(pid, 0u);
    Child proxy(pid);
    ASSERT_TRUE(proxy.Started());

    DWORD handlesBefore = OwnHandleCount();
    DWORD elapsed = StopProxyTimed();

    EXPECT_FALSE(proxy.Running());
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_EQ(proxy.ExitCode(), 0u);
    // It was asked first, and it did not end by itself.
    EXPECT_EQ(Lines(dir / L"closes.txt").size(), 1u);
    EXPECT_FALSE(Contains(Widen(ReadFileBytes(App.ProgramDir + L"polipo.log")),
                          L"proxy " + std::to_wstring(pid) + L" exiting"));
    EXPECT_TRUE(AllZero(App.ProxyProcess));
    EXPECT_EQ(OwnHandleCount(), handlesBefore - 1);
}

TEST(StopProxy, OnlyTheFirstWindowOfTheProxyIsAskedToClose)
{
    TempDir dir;
    UseProgramFolder(dir);
    ForgetProxyAtEnd forget;
    Child other = StartUnrecordedStandIn(dir, dir / L"other-closes.txt");
    ASSERT_TRUE(other.Started());

    // The proxy keeps running after a close, so every close posted to it would be logged.
    ScopedEnv ignoreClose(L"KELVOR_PROXY_IGNORE_CLOSE", L"1");
    ScopedEnv windows(L"KELVOR_PROXY_WINDOWS", L"3");
    ScopedEnv logCloses(L"KELVOR_PROXY_CLOSE_LOG", dir / L"closes.txt");
    DWORD pid = LaunchProxyAndWaitForWindow();
    ASSERT_NE(pid, 0u);
    ASSERT_TRUE(WaitFor([&] { return TopWindows(pid, L"StandInProxy").size() == 3; }));
    std::vector<HWND> proxyWindows = TopWindows(pid);
    ASSERT_FALSE(proxyWindows.empty());
    std::wstring first = WindowText(proxyWindows.front());

    StopProxy(App.ProxyProcess, SupervisedProxyAddress());

    EXPECT_EQ(Lines(dir / L"closes.txt"), std::vector<std::wstring>{std::to_wstring(pid) + L"\t" + first});
    EXPECT_TRUE(other.Running());
    EXPECT_TRUE(Lines(dir / L"other-closes.txt").empty());
}

TEST(StopProxy, WithNoProxyRecordedTouchesNothingAndReturnsAtOnce)
{
    TempDir dir;
    UseProgramFolder(dir);
    Child other = StartUnrecordedStandIn(dir, dir / L"other-closes.txt");
    ASSERT_TRUE(other.Started());

    DWORD handlesBefore = OwnHandleCount();
    DWORD elapsed = StopProxyTimed();

    EXPECT_LT(elapsed, 1000u);
    EXPECT_EQ(OwnHandleCount(), handlesBefore);
    // Time for a close, had one been posted, to arrive.
    Sleep(500);
    EXPECT_TRUE(other.Running());
    EXPECT_TRUE(Lines(dir / L"other-closes.txt").empty());
}

TEST(RestartProxy, EndsTheOldProxyAndSupervisesExactlyOneNewOne)
{
    TempDir dir;
    UseProgramFolder(dir);
    ForgetProxyAtEnd forget;
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);
    DWORD oldPid = LaunchProxyAndWaitUntilUp();
    ASSERT_NE(oldPid, 0u);
    Child old(oldPid);

    EXPECT_TRUE(RestartProxy(nullptr));

    EXPECT_FALSE(old.Running());
    ASSERT_TRUE(WaitFor([&] { return ReadProxyRecords(record).size() >= 2; }));
    // Time for a second launch, had there been one, to record itself.
    Sleep(500);
    std::vector<ProxyRecord> records = ReadProxyRecords(record);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Pid, oldPid);
    EXPECT_EQ(records[1].Pid, App.ProxyProcess.dwProcessId);
    EXPECT_FALSE(Contains(records[1].CommandLine, L" -x "));
    // It was given the cache folder, made for it first.
    EXPECT_TRUE(WaitFor([&] { return Exists(dir / (L"cache\\" + ProxyFile("http://example.com/"))); }));
    Child fresh(records[1].Pid);
    EXPECT_TRUE(fresh.Running());
    // Supervised: its handle is kept, to be stopped later.
    EXPECT_EQ(WaitForSingleObject(App.ProxyProcess.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The real program, driven through the commands of its tray menu.
TEST(Kelvor, RestartCommandReplacesTheProxyAndExitStopsTheNewOne)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    Child first(kelvor.Records()[0].Pid);
    ASSERT_EQ(WaitForInputIdle(first.Handle(), 10000), 0u);

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    Child second(kelvor.Records()[1].Pid);
    EXPECT_TRUE(first.WaitExit(0));
    EXPECT_TRUE(second.Running());
    ASSERT_EQ(WaitForInputIdle(second.Handle(), 10000), 0u);

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
    EXPECT_TRUE(second.WaitExit(0));
    EXPECT_EQ(kelvor.Records().size(), 2u);
}

TEST(Kelvor, ExitLeavesAPurgeRunThatIsStillGoingOnAlone)
{
    // Longer than Exit may take with a proxy that must be terminated.
    ScopedEnv slowPurge(L"KELVOR_PROXY_PURGE_DELAY_MS", L"20000");
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    Child proxy(kelvor.Records()[0].Pid);
    ASSERT_EQ(WaitForInputIdle(proxy.Handle(), 10000), 0u);

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_PURGE_CACHE, 0);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    ProxyRecord purgeRecord = kelvor.Records()[1];
    ASSERT_TRUE(Contains(purgeRecord.CommandLine, L" -x "));
    Child purge(purgeRecord.Pid);
    ASSERT_TRUE(purge.Running());

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
    EXPECT_TRUE(proxy.WaitExit(0));
    EXPECT_TRUE(purge.Running());
}

TEST(StopProxy, ExitAfterTheConfigWasEditedWritesOutToTheProxyThatRuns)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    std::wstring log = kelvor.Program() + L"polipo.log";
    ASSERT_TRUE(WaitFor([&] { return Contains(Widen(ReadFileBytes(log)), L"listening socket on port 8123"); }));
    // Edited for the next start, which never comes: the running proxy still listens on 8123.
    WriteFileBytes(kelvor.Program() + L"config", "proxyPort = 8124\n");
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_TRUE(Contains(Widen(ReadFileBytes(log)), L"writeout-objects: all objects written out")) << ReadFileBytes(log);
}
