// kelvor.exe started for real in a temporary program folder, with the stand-in proxy.
#include <gtest/gtest.h>

#include <memory>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

// Presses OK on the message box that process pid shows with the caption "kelvor", and returns
// the box's text.
std::wstring AnswerMessageBox(DWORD pid)
{
    HWND box = WaitForTopWindow(pid, L"#32770");
    if (!box)
        return L"(no message box)";
    // The box exists a moment before its text does.
    WaitFor([&] { return !StaticTexts(box).empty(); }, 5000);
    std::wstring text = WindowText(box) + L": " + StaticTexts(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

}  // namespace

TEST(Startup, LaunchesTheProxyHiddenInTheProgramFolderAndKeepsItsWindowHidden)
{
    // A folder of known name, so that the expected command line can be written out whole.
    const std::wstring top = L"C:\\kelvor startup test";
    RemoveTree(top);
    struct RemoveAtEnd {
        std::wstring Path;
        ~RemoveAtEnd() { RemoveTree(Path); }
    } removeAtEnd{top};
    TempDir dir;
    std::wstring program = MakeProgramFolder(top + L"\\Proxy Tray");
    // The proxy does not make its cache folder.
    MakeDirs(program + L"cache");
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);

    // Arguments are ignored.
    Child kelvor(program + L"kelvor.exe", L"--ignored /x", dir.Path());
    ASSERT_TRUE(kelvor.Started());
    ASSERT_TRUE(WaitFor([&] { return ReadProxyRecords(record).size() == 1; }));

    ProxyRecord proxy = ReadProxyRecords(record)[0];
    EXPECT_EQ(proxy.CommandLine,
              L"\"C:\\kelvor startup test\\Proxy Tray\\polipo.exe\" -c config "
              L"diskCacheRoot=\"\\\"C:/kelvor\\ startup\\ test/Proxy\\ Tray/cache\\\"\" logFile=polipo.log");
    EXPECT_EQ(proxy.Directory, L"C:\\kelvor startup test\\Proxy Tray");
    EXPECT_TRUE(proxy.StartupFlags & STARTF_USESHOWWINDOW);
    EXPECT_EQ(proxy.ShowWindow, SW_HIDE);
    // The stand-in proxy writes its log and cache where kelvor pointed it.
    EXPECT_TRUE(WaitFor([&] { return Exists(program + L"polipo.log"); }));
    EXPECT_TRUE(WaitFor([&] { return Exists(program + L"cache\\" + ProxyFile("http://example.com/")); }));

    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(WindowText(main), L"kelvor");
    // Nor later: it stays hidden once it has handled all that start-up brought.
    ASSERT_TRUE(WaitUntilIdle(main));
    EXPECT_FALSE(IsWindowVisible(main));

    HANDLE proxyProcess = OpenProcess(SYNCHRONIZE, FALSE, proxy.Pid);
    ASSERT_NE(proxyProcess, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(kelvor.ExitCode(), 0u);
    // Closing kelvor stops its proxy.
    EXPECT_EQ(WaitForSingleObject(proxyProcess, 0), WAIT_OBJECT_0);
    CloseHandle(proxyProcess);
}

TEST(Startup, MissingProxyIsReportedAndTheProgramEndsWithCodeZero)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"kelvor", false);
    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());

    EXPECT_EQ(AnswerMessageBox(kelvor.Id()), L"kelvor: Failed to boot polipo (2)");
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(kelvor.ExitCode(), 0u);
}

TEST(Startup, AProgramFolderTooLongForItsFileNamesIsRefusedAsAFailedLaunch)
{
    TempDir dir;
    // The folder plus "proxy-restore.ini.new" would not fit MAX_PATH: nothing may start from a
    // cut path. "polipo.exe" would still fit.
    std::wstring folder = dir.Path() + L"\\";
    while (folder.size() < 239)
        folder += std::wstring(std::min<size_t>(60, 239 - folder.size() - 1), L'd') + L"\\";
    ASSERT_EQ(folder.size(), 239u);
    std::wstring extended = L"\\\\?\\" + folder;
    size_t at = extended.find(L'\\', dir.Path().size() + 5);
    while (at != std::wstring::npos) {
        CreateDirectoryW(extended.substr(0, at).c_str(), nullptr);
        at = extended.find(L'\\', at + 1);
    }
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\kelvor.exe").c_str(), (extended + L"kelvor.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\polipo.exe").c_str(), (extended + L"polipo.exe").c_str(), FALSE));
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);

    // The full path is too long to be given whole: start the program from its own folder.
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str())) << GetLastError();
    Child kelvor(L"kelvor.exe", L"", L"");
    DWORD error = GetLastError();
    SetCurrentDirectoryW(before);
    ASSERT_TRUE(kelvor.Started()) << error;
    EXPECT_EQ(AnswerMessageBox(kelvor.Id()), L"kelvor: Failed to boot polipo (206)");
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(kelvor.ExitCode(), 0u);
    EXPECT_TRUE(ReadProxyRecords(record).empty());
    EXPECT_FALSE(Exists(extended + L"kelvor.ini"));
}

TEST(Startup, ACacheFolderThatCannotBeMadeIsNamedOnceAndTheProxyStartsAnyway)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"program");
    // A file stands where a parent folder of the cache would have to be.
    WriteFileBytes(dir / L"blocker", "not a folder");
    std::wstring cache = dir / L"blocker\\cache";
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache dir=" + Narrow(cache) + "\r\n");
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);

    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());
    // The proxy runs before the box is answered.
    ASSERT_TRUE(WaitFor([&] { return ReadProxyRecords(record).size() == 1; }));
    std::wstring text = AnswerMessageBox(kelvor.Id());
    EXPECT_EQ(text.find(L"kelvor: The cache folder " + cache + L" could not be created: "), 0u) << Narrow(text);
    EXPECT_NE(text.find(L"The proxy runs without a disk cache until it exists."), std::wstring::npos);

    // A Restart tries again without saying it twice.
    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_COMMAND, 153, 0);
    ASSERT_TRUE(WaitFor([&] { return ReadProxyRecords(record).size() == 2; }));
    EXPECT_EQ(WaitForTopWindow(kelvor.Id(), L"#32770", 1000), nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kelvor.WaitExit(15000));
}

TEST(Startup, TheProgramFolderByASecondDriveLetterIsNotTrimmedAndIsNamed)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"program");
    ScopedDriveLetter drive(dir.Path());
    ASSERT_TRUE(drive.Made());
    std::wstring cache = drive.Root() + L"program";
    // Over a limit of 1 MB, read long ago: the first file a pass there would delete.
    MakeCacheFile(program + ProxyFile("http://site/old"), 2 * 1048576, 132223104000000000ull);
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache dir=" + Narrow(cache) + "\r\ncache size=1\r\n");
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", dir / L"record.txt");

    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());
    std::wstring text = AnswerMessageBox(kelvor.Id());
    EXPECT_EQ(text.find(L"kelvor: The cache folder " + cache + L" is or contains " +
                        program.substr(0, program.size() - 1) + L"."),
              0u)
        << Narrow(text);
    EXPECT_TRUE(Exists(program + ProxyFile("http://site/old")));
    EXPECT_TRUE(Exists(program + L"polipo.exe"));
    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kelvor.WaitExit(15000));
}

// The failures that can be made to happen here, each said once, naming the thing and why.
TEST(ToldFailures, EachReachesTheUserNamingTheThingAndTheReason)
{
    enum class Then { BoxAtStart, BalloonAfterAPass };
    struct Case {
        const char* Name;
        std::string Config;
        // What becomes of the cache folder after the first pass; a link it leaves, removed at the end.
        std::unique_ptr<ScopedLink> (*Meanwhile)(const std::wstring& cache, const std::wstring& elsewhere);
        Then How;
        std::wstring (*Said)(const std::wstring& program, const std::wstring& cache);
    };
    const Case cases[] = {
        {"a write-out the proxy's config refuses", "disableConfiguration = true\n", nullptr, Then::BoxAtStart,
         [](const std::wstring& program, const std::wstring&) {
             return L"kelvor: The proxy's config " + program + L"config sets disableConfiguration, so the proxy refuses";
         }},
        {"a cache folder that cannot be listed", "", [](const std::wstring& cache, const std::wstring&) {
             RemoveTree(cache);
             return std::unique_ptr<ScopedLink>();
         },
         Then::BalloonAfterAPass,
         [](const std::wstring&, const std::wstring& cache) {
             return L"The cache folder " + cache + L" could not be read, so it was not trimmed and its size is not known: ";
         }},
        {"a cache folder replaced by a link", "",
         [](const std::wstring& cache, const std::wstring& elsewhere) {
             RemoveTree(cache);
             return std::make_unique<ScopedLink>(cache, elsewhere);
         },
         Then::BalloonAfterAPass,
         [](const std::wstring&, const std::wstring& cache) {
             return L"The cache folder " + cache + L" is no longer the folder kelvor checked at start";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        std::unique_ptr<ScopedLink> link;
        std::wstring program = MakeProgramFolder(dir / L"program");
        std::wstring cache = program + L"cache";
        std::wstring elsewhere = dir / L"elsewhere";
        MakeDirs(elsewhere);
        // Over the limit of 1 MB: a pass that walked it would delete it.
        const std::wstring old = elsewhere + L"\\" + ProxyFile("http://site/old");
        MakeCacheFile(old, 2 * 1048576, 132223104000000000ull);
        WriteFileBytes(program + L"config", c.Config);
        WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache size=1\r\n");
        ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", dir / L"record.txt");
        Child kelvor(program + L"kelvor.exe", L"", dir.Path());
        HWND main = WaitForTopWindow(kelvor.Id(), L"KELVOR");
        ASSERT_NE(main, nullptr);
        std::wstring said = c.Said(program, cache);
        if (c.How == Then::BoxAtStart) {
            std::wstring box = AnswerMessageBox(kelvor.Id());
            EXPECT_EQ(box.find(said), 0u) << Narrow(box);
        } else {
            auto tip = [&] { return WindowText(GetDlgItem(main, IDC_TIP)); };
            // The first pass is over once the tip tells of the cache.
            ASSERT_TRUE(WaitFor([&] { return tip().find(L"cache: ") != std::wstring::npos; })) << Narrow(tip());
            link = c.Meanwhile(cache, elsewhere);
            ASSERT_TRUE(!link || link->Made());
            PostMessageW(main, WM_TIMER, 1000, 0);
            EXPECT_TRUE(WaitForBalloon(said)) << Narrow(said);
            EXPECT_EQ(tip().find(L"cache: "), std::wstring::npos) << Narrow(tip());
            EXPECT_TRUE(Exists(old));
        }
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_TRUE(kelvor.WaitExit(15000));
    }
}
