// Finding a running proxy by its executable's path, with real processes.
#include <gtest/gtest.h>

#include "proxy/detect.h"
#include "tests/support/support.h"

namespace {

// The stand-in proxy copied to dir\relativePath and started from its folder, once it is up.
Child StartStandInAs(const TempDir& dir, const std::wstring& relativePath)
{
    std::wstring exe = dir / relativePath;
    MakeDirs(exe.substr(0, exe.find_last_of(L'\\')));
    CopyFileW((BinDir() + L"\\polipo.exe").c_str(), exe.c_str(), FALSE);
    Child child(exe, L"", exe.substr(0, exe.find_last_of(L'\\')));
    WaitForInputIdle(child.Handle(), 10000);
    return child;
}

}  // namespace

TEST(IsProxyRunning, MatchesTheNameAnywhereInAnExecutablePathInAnyCase)
{
    TempDir dir;
    // Every other test leaves no proxy behind: a match below is one of ours.
    ASSERT_FALSE(IsProxyRunning(L"polipo.exe"));

    {
        Child proxy = StartStandInAs(dir, L"kelvor\\polipo.exe");
        ASSERT_TRUE(proxy.Running());
        EXPECT_TRUE(IsProxyRunning(L"polipo.exe"));
        EXPECT_TRUE(IsProxyRunning(L"kelvor\\polipo.exe"));
        EXPECT_FALSE(IsProxyRunning(L"kelvor\\polipo.exe.x"));
    }
    {
        Child inFolder = StartStandInAs(dir, L"tools.polipo.exe.d\\stand-in.exe");
        ASSERT_TRUE(inFolder.Running());
        EXPECT_TRUE(IsProxyRunning(L"polipo.exe"));
    }
    {
        // Windows names are not case-sensitive: this is the same program to the system.
        Child upper = StartStandInAs(dir, L"Upper\\POLIPO.EXE");
        ASSERT_TRUE(upper.Running());
        EXPECT_TRUE(IsProxyRunning(L"polipo.exe"));
        EXPECT_TRUE(IsProxyRunning(L"upper\\Polipo.Exe"));
        EXPECT_FALSE(IsProxyRunning(L"upper\\polipo.exe.x"));
    }
    EXPECT_FALSE(IsProxyRunning(L"polipo.exe"));
}

TEST(IsProxyRunning, LooksAtTheExecutableOnlyNotTheModulesItLoaded)
{
    TempDir dir;
    // A module whose path holds the name, loaded into this very process.
    std::wstring library = dir / L"polipo.exe.d\\helper.dll";
    MakeDirs(dir / L"polipo.exe.d");
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\polipo.exe").c_str(), library.c_str(), FALSE));
    HMODULE module = LoadLibraryExW(library.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr) << GetLastError();
    wchar_t loaded[MAX_PATH] = L"";
    GetModuleFileNameW(module, loaded, MAX_PATH);
    ASSERT_NE(std::wstring(loaded).find(L"polipo.exe"), std::wstring::npos) << Narrow(loaded);

    EXPECT_FALSE(IsProxyRunning(L"polipo.exe"));
    EXPECT_FALSE(IsProxyRunning(L"helper.dll"));
    FreeLibrary(module);
}

TEST(IsProxyRunning, LeavesNoHandleOpen)
{
    TempDir dir;
    // Whatever the first call sets up for good is not counted.
    IsProxyRunning(L"polipo.exe");

    DWORD before = OwnHandleCount();
    EXPECT_FALSE(IsProxyRunning(L"polipo.exe"));
    EXPECT_EQ(OwnHandleCount(), before);

    Child proxy = StartStandInAs(dir, L"kelvor\\polipo.exe");
    ASSERT_TRUE(proxy.Running());
    before = OwnHandleCount();
    EXPECT_TRUE(IsProxyRunning(L"polipo.exe"));
    EXPECT_EQ(OwnHandleCount(), before);
}

TEST(Kelvor, RefusesToStartWhileAProxyRunsAndLeavesThatProxyAlone)
{
    TempDir dir;
    Child running = StartStandInAs(dir, L"tools.polipo.exe.d\\stand-in.exe");
    ASSERT_TRUE(running.Running());

    std::wstring program = MakeProgramFolder(dir / L"program");
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);
    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());

    EXPECT_EQ(PressOkOnMessageBox(kelvor.Id()), L"kelvor: polipo has been executed.");
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(kelvor.ExitCode(), 0u);
    EXPECT_TRUE(running.Running());
    // kelvor started no proxy of its own.
    std::vector<ProxyRecord> started = ReadProxyRecords(record);
    EXPECT_TRUE(started.empty());
    for (const ProxyRecord& proxy : started) {
        Child stray(proxy.Pid);  // ended here, so that no later test finds it
    }
}
