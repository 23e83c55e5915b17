// Trim passes over real folders, and kelvor.exe trimming its own cache at start and on its timer.
#include <gtest/gtest.h>

#include <malloc.h>

#include <climits>

#include "app/resources/resource.h"
#include "cache/trim.h"
#include "cache/trim_rules.h"
#include "tests/support/support.h"

namespace {

// Access times count in minutes from an arbitrary day long past, so a larger minute is newer.
constexpr uint64_t LONG_AGO = 132223104000000000ull;  // 2020-01-01
constexpr uint64_t MINUTE = 600000000ull;

// The proxy's file, below a cache folder, for a made-up object: "name" of the server "site", or
// "server\name".
std::wstring Object(const std::wstring& label)
{
    size_t cut = label.find(L'\\');
    std::wstring host = cut == std::wstring::npos ? L"site" : label.substr(0, cut);
    return ProxyFile("http://" + Narrow(host) + "/" + Narrow(label.substr(cut + 1)));
}

void CacheFile(const std::wstring& path, int64_t size, uint64_t minute)
{
    MakeCacheFile(path, size, LONG_AGO + minute * MINUTE);
}

// The objects of the cache folder whose files still exist, joined by spaces, in the order asked.
std::wstring Survivors(const std::wstring& cache, const std::vector<std::wstring>& labels)
{
    std::wstring left;
    for (const std::wstring& label : labels) {
        if (Exists(cache + L"\\" + Object(label)))
            left += (left.empty() ? L"" : L" ") + label;
    }
    return left;
}

// The file names of one folder as the file system lists them.
std::vector<std::wstring> Listing(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool IsDirectoryLink(const std::wstring& path)
{
    const DWORD LINK = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & LINK) == LINK;
}

// A Linux symbolic link, which Wine shows as a directory with a reparse point. Wine's own
// CreateSymbolicLinkW reports success and makes nothing.
bool MakeDirectoryLink(const std::wstring& folder, const std::wstring& target, const std::wstring& name)
{
    return StartLinuxProgram(L"/bin/ln", L"-s " + target + L" " + name, folder) &&
           WaitFor([&] { return IsDirectoryLink(folder + L"\\" + name); }, 5000);
}

// Where Wine keeps its drives, as links named "c:", "z:"..., ending in a slash.
std::wstring DeviceFolder()
{
    std::wstring devices = UnixPath(L"C:\\");
    size_t cut = devices.rfind(L"/c:");
    return cut == std::wstring::npos ? std::wstring() : devices.substr(0, cut + 1);
}

// A drive letter of its own over folder, made as Wine makes drives. Returns the drive ("Y:"), or
// an empty string.
std::wstring MapDrive(const std::wstring& folder)
{
    for (wchar_t letter = L'y'; letter > L'd'; --letter) {
        std::wstring drive = std::wstring(1, letter) + L":";
        if (GetDriveTypeW((drive + L"\\").c_str()) != DRIVE_NO_ROOT_DIR)
            continue;
        StartLinuxProgram(L"/bin/ln", L"-s \"" + UnixPath(folder) + L"\" \"" + DeviceFolder() + drive + L"\"",
                          folder);
        return WaitFor([&] { return Exists(drive + L"\\"); }, 5000) ? drive : std::wstring();
    }
    return std::wstring();
}

void UnmapDrive(const std::wstring& drive)
{
    StartLinuxProgram(L"/bin/rm", L"\"" + DeviceFolder() + static_cast<wchar_t>(towlower(drive[0])) + L":\"", L"C:\\");
    WaitFor([&] { return GetDriveTypeW((drive + L"\\").c_str()) == DRIVE_NO_ROOT_DIR; }, 5000);
}

// Wine cannot remove a Linux link to a directory, so the tests' clean-up cannot either.
void RemoveLinks(const std::wstring& folder, const std::vector<std::wstring>& names)
{
    std::wstring arguments = L"-f";
    for (const std::wstring& name : names)
        arguments += L" \"" + name + L"\"";
    StartLinuxProgram(L"/bin/rm", arguments, folder);
    for (const std::wstring& name : names)
        WaitFor([&] { return !Exists(folder + L"\\" + name); }, 5000);
}

}  // namespace

TEST(TrimRules, ZeroAndNegativeSizesSwitchTrimmingOff)
{
    EXPECT_EQ(TrimLimitBytes(0), 0);
    EXPECT_EQ(TrimLimitBytes(-5), 0);
    EXPECT_EQ(TrimLimitBytes(INT_MIN), 0);

    TempDir dir;
    CacheFile(dir / Object(L"a"), 1000, 1);
    CacheFile(dir / Object(L"b"), 1000, 2);
    TrimCache(dir.Path(), TrimLimitBytes(-5));
    TrimCache(dir.Path(), 0);
    TrimCache(dir.Path(), -1);
    EXPECT_EQ(Survivors(dir.Path(), {L"a", L"b"}), L"a b");
}

TEST(TrimRules, LimitAndSizesAreSixtyFourBit)
{
    EXPECT_EQ(TrimLimitBytes(1), 1048576);
    EXPECT_EQ(TrimLimitBytes(4096), 4294967296LL);
    EXPECT_EQ(TrimLimitBytes(INT_MAX), 2147483647LL * 1048576);

    TempDir dir;
    const int64_t FIVE_GIB = 5368709120LL;
    CacheFile(dir / Object(L"big"), FIVE_GIB, 1);
    CacheFile(dir / Object(L"small"), 100, 2);
    TrimIndex index;
    EXPECT_EQ(ScanCacheDir(dir.Path(), index), FIVE_GIB + 100);
    ClearTrimIndex(index);

    // Cut to 32 bits the file would weigh 1 GiB and fit, and 5121 MB would be 1 MB.
    TrimCache(dir.Path(), TrimLimitBytes(5121));
    EXPECT_EQ(Survivors(dir.Path(), {L"big", L"small"}), L"big small");
    TrimCache(dir.Path(), TrimLimitBytes(4096));
    EXPECT_EQ(Survivors(dir.Path(), {L"big", L"small"}), L"small");
}

TEST(TrimRules, TimerPeriodFallsBackToTwoHoursAndStopsAtTheLongestWindowTimer)
{
    EXPECT_EQ(TrimPeriodMs(0), 120u * 60000);
    EXPECT_EQ(TrimPeriodMs(-1), 120u * 60000);
    EXPECT_EQ(TrimPeriodMs(INT_MIN), 120u * 60000);
    EXPECT_EQ(TrimPeriodMs(1), 60000u);
    EXPECT_EQ(TrimPeriodMs(35791), 35791u * 60000);
    EXPECT_EQ(TrimPeriodMs(35792), 35791u * 60000);
    EXPECT_EQ(TrimPeriodMs(INT_MAX), 35791u * 60000);
    EXPECT_LE(TrimPeriodMs(INT_MAX), static_cast<unsigned>(USER_TIMER_MAXIMUM));
}

TEST(TrimRules, VolumeRootsHoweverWritten)
{
    for (const wchar_t* root : {L"C:", L"C:\\", L"C:/", L"c:\\\\", L"\\\\server\\share", L"\\\\server\\share\\",
                                L"//server/share/", L"\\\\?\\C:\\", L"\\\\.\\D:", L"\\\\?\\UNC\\server\\share\\",
                                L"\\", L"/"})
        EXPECT_TRUE(IsVolumeRoot(root)) << Narrow(root);
    for (const wchar_t* folder : {L"", L"C:\\cache", L"C:\\cache\\", L"C:cache", L"cache", L"\\cache",
                                  L"\\\\server\\share\\cache", L"\\\\?\\C:\\cache", L"\\\\?\\UNC\\server\\share\\x"})
        EXPECT_FALSE(IsVolumeRoot(folder)) << Narrow(folder);
}

TEST(TrimCache, AVolumeRootIsNeverTrimmedHoweverItIsReached)
{
    TempDir dir;
    std::wstring sub = dir / L"sub";
    CacheFile(dir / Object(L"old"), 100, 1);
    CacheFile(sub + L"\\" + Object(L"older"), 100, 0);
    // A drive of our own over the temporary folder, so that a failed guard cannot reach C:.
    std::wstring root = MapDrive(dir.Path());
    ASSERT_FALSE(root.empty());
    bool mapped = Exists(root + L"\\sub\\" + Object(L"older"));
    for (const std::wstring& path : {root + L"\\", root + L"/", root + L"\\sub\\..", root + L"\\sub\\..\\"})
        TrimCache(path, 1);
    std::wstring left = Survivors(dir.Path(), {L"old"}) + L" " + Survivors(sub, {L"older"});
    // Below the root the same files are fair game.
    TrimCache(root + L"\\sub", 1);
    std::wstring belowRoot = Survivors(dir.Path(), {L"old"}) + L" " + Survivors(sub, {L"older"});
    UnmapDrive(root);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(left, L"old older");
    EXPECT_EQ(belowRoot, L"old ");
}

TEST(TrimCache, AnEmptyOrMissingCacheFolderTrimsNothing)
{
    TempDir dir;
    CacheFile(dir / Object(L"a"), 100, 1);
    MakeDirs(dir / L"empty");
    // An empty name must not become the current folder or the root of its drive.
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    SetCurrentDirectoryW(dir.Path().c_str());
    TrimCache(L"", 1);
    SetCurrentDirectoryW(before);
    TrimCache(dir / L"missing", 1);
    TrimCache(dir / L"empty", 1);
    EXPECT_EQ(Survivors(dir.Path(), {L"a"}), L"a");
    EXPECT_TRUE(Exists(dir / L"empty"));
    EXPECT_FALSE(Exists(dir / L"missing"));
}

TEST(TrimCache, DeletesOldestFirstUntilTheRestFitsTheLimit)
{
    TempDir dir;
    const std::vector<std::wstring> all = {L"zero1", L"zero2", L"a", L"b", L"c"};
    auto fill = [&] {
        CacheFile(dir / Object(L"zero1"), 0, 1);
        CacheFile(dir / Object(L"zero2"), 0, 2);
        CacheFile(dir / Object(L"a"), 300, 3);
        CacheFile(dir / Object(L"b"), 300, 5);
        CacheFile(dir / Object(L"c"), 300, 4);
    };
    fill();
    TrimCache(dir.Path(), 900);
    EXPECT_EQ(Survivors(dir.Path(), all), L"zero1 zero2 a b c") << "a total equal to the limit fits";
    // One byte over: empty files cost nothing to keep but do not end the walk.
    TrimCache(dir.Path(), 899);
    EXPECT_EQ(Survivors(dir.Path(), all), L"b c");
    fill();
    TrimCache(dir.Path(), 600);
    EXPECT_EQ(Survivors(dir.Path(), all), L"b c");
    fill();
    TrimCache(dir.Path(), 599);
    EXPECT_EQ(Survivors(dir.Path(), all), L"b");
    fill();
    TrimCache(dir.Path(), 1);
    EXPECT_EQ(Survivors(dir.Path(), all), L"");
}

TEST(TrimCache, FilesOfTheSameLastUseGoInTheOrderTheFolderListsThem)
{
    TempDir dir;
    for (const wchar_t* name : {L"t5", L"t1", L"t4", L"t2", L"t3"})
        CacheFile(dir / Object(name), 100, 7);
    CacheFile(dir / Object(L"older"), 100, 6);
    CacheFile(dir / Object(L"newer"), 100, 8);
    std::vector<std::wstring> ties;
    for (const std::wstring& name : Listing(dir / L"site")) {
        for (const wchar_t* tie : {L"t1", L"t2", L"t3", L"t4", L"t5"}) {
            if (L"site\\" + name == Object(tie))
                ties.push_back(tie);
        }
    }
    ASSERT_EQ(ties.size(), 5u);

    TrimCache(dir.Path(), 400);
    EXPECT_EQ(Survivors(dir.Path(), {L"older", ties[0], ties[1], ties[2], ties[3], ties[4], L"newer"}),
              ties[2] + L" " + ties[3] + L" " + ties[4] + L" newer");
    TrimCache(dir.Path(), 100);
    EXPECT_EQ(Survivors(dir.Path(), {ties[2], ties[3], ties[4], L"newer"}), L"newer");
}

TEST(TrimCache, ServersCompeteByLastUseAloneAndTheirFoldersStayWhenEmptied)
{
    TempDir dir;
    CacheFile(dir / Object(L"top"), 400, 4);
    CacheFile(dir / Object(L"d1\\oldest"), 100, 1);
    CacheFile(dir / Object(L"d2\\deep"), 200, 2);
    CacheFile(dir / Object(L"d3\\newest"), 300, 5);
    CacheFile(dir / Object(L"d3\\middle"), 300, 3);

    TrimIndex index;
    EXPECT_EQ(ScanCacheDir(dir.Path(), index), 1300);
    EXPECT_EQ(index.Count, 5u);
    ClearTrimIndex(index);

    TrimCache(dir.Path(), 1000);
    EXPECT_EQ(Survivors(dir.Path(), {L"top", L"d1\\oldest", L"d2\\deep", L"d3\\middle", L"d3\\newest"}),
              L"top d3\\middle d3\\newest");
    // As the settings file may well write it.
    TrimCache(dir.Path() + L"\\", 700);
    EXPECT_EQ(Survivors(dir.Path(), {L"top", L"d3\\middle", L"d3\\newest"}), L"top d3\\newest");
    for (const wchar_t* folder : {L"site", L"d1", L"d2", L"d3"})
        EXPECT_TRUE(Exists(dir / folder)) << Narrow(folder);
}

TEST(TrimCache, FilesThatCannotBeDeletedStayCountedAndTheNextOldestGoes)
{
    TempDir dir;
    CacheFile(dir / Object(L"readonly"), 100, 1);
    CacheFile(dir / Object(L"held"), 100, 2);
    CacheFile(dir / Object(L"a"), 100, 3);
    CacheFile(dir / Object(L"b"), 100, 4);
    SetFileAttributesW((dir / Object(L"readonly")).c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE held = CreateFileW((dir / Object(L"held")).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    TrimCache(dir.Path(), 300);
    CloseHandle(held);
    EXPECT_EQ(Survivors(dir.Path(), {L"readonly", L"held", L"a", L"b"}), L"readonly held b");
}

TEST(TrimCache, DirectoryLinksAreNeitherWalkedNorDeleted)
{
    // Each link is named as the proxy names a server's folder, and leads to files named as its
    // objects are.
    TempDir dir;
    std::wstring cache = dir / L"cache";
    CacheFile(dir / Object(L"elsewhere\\precious"), 1000, 1);
    CacheFile(cache + L"\\" + Object(L"inner\\kept"), 100, 9);
    ASSERT_TRUE(MakeDirectoryLink(dir / L"cache", L"../elsewhere", L"out"));
    // A link back into the cache would count its files twice and offer them twice.
    ASSERT_TRUE(MakeDirectoryLink(dir / L"cache", L"inner", L"loop"));

    TrimIndex index;
    EXPECT_EQ(ScanCacheDir(dir / L"cache", index), 100);
    EXPECT_EQ(index.Count, 1u);
    ClearTrimIndex(index);

    TrimCache(dir / L"cache", 1);
    EXPECT_EQ(Survivors(dir.Path(), {L"elsewhere\\precious"}), L"elsewhere\\precious");
    EXPECT_EQ(Survivors(cache, {L"inner\\kept"}), L"");
    EXPECT_TRUE(IsDirectoryLink(cache + L"\\out"));
    EXPECT_TRUE(IsDirectoryLink(cache + L"\\loop"));
    RemoveLinks(dir / L"cache", {L"out", L"loop"});
}

TEST(TrimEndToEnd, KelvorTrimsBesideItsRunningProxyAtStartAndOnEveryTickOfItsTimer)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"program");
    std::wstring cache = dir / L"cache";
    MakeDirs(cache);
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache dir=" + Narrow(cache) + "\r\ncache size=1\r\n");
    // The proxy's own files (3 x 316 bytes, fresh) may or may not be there when the pass lists
    // the cache: with them or without, f3 and f4 fit the 1 MiB limit.
    CacheFile(cache + L"\\" + Object(L"f1"), 400000, 1);
    CacheFile(cache + L"\\" + Object(L"f2"), 400000, 2);
    CacheFile(cache + L"\\" + Object(L"f3"), 500000, 3);
    CacheFile(cache + L"\\" + Object(L"f4"), 500000, 4);

    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());
    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    // The tip gives the cache's use once the first pass is over.
    HWND tip = GetDlgItem(main, IDC_TIP);
    ASSERT_TRUE(WaitFor([&] { return WindowText(tip).find(L"cache: ") != std::wstring::npos; })) << Narrow(WindowText(tip));
    ASSERT_TRUE(WaitFor([&] { return Exists(cache + L"\\" + Object(L"example.com\\")); }));
    EXPECT_EQ(Survivors(cache, {L"f1", L"f2", L"f3", L"f4"}), L"f3 f4");

    CacheFile(cache + L"\\" + Object(L"late\\g1"), 300000, 0);
    CacheFile(cache + L"\\" + Object(L"g2"), 300000, 1);
    // Another window's timer message is not the trim timer's.
    PostMessageW(main, WM_TIMER, 42, 0);
    Sleep(500);
    EXPECT_TRUE(Exists(cache + L"\\" + Object(L"late\\g1")));
    PostMessageW(main, WM_TIMER, 1000, 0);
    // With the stand-in proxy's own three objects.
    const std::vector<std::wstring> labels = {L"late\\g1", L"g2", L"f3", L"f4", L"127.0.0.1:18080\\a",
                                              L"127.0.0.1:18080\\b", L"example.com\\"};
    const std::wstring expected = L"f3 f4 127.0.0.1:18080\\a 127.0.0.1:18080\\b example.com\\";
    EXPECT_TRUE(WaitFor([&] { return Survivors(cache, labels) == expected; })) << Narrow(Survivors(cache, labels));
    // Nothing more goes once the pass is over.
    Sleep(300);
    EXPECT_EQ(Survivors(cache, labels), expected);
    EXPECT_TRUE(Exists(cache + L"\\late"));

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kelvor.WaitExit(15000));
}

TEST(TrimCache, SaysWhatThePassDidAndStopsWhenAsked)
{
    TempDir dir;
    CacheFile(dir / Object(L"old"), 300, 1);
    CacheFile(dir / Object(L"sub\\mid"), 300, 2);
    CacheFile(dir / Object(L"new"), 300, 3);
    // Held open without delete sharing: chosen, but it stays.
    HANDLE held = CreateFileW((dir / Object(L"sub\\mid")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    std::atomic<bool> cancel{true};
    TrimResult stopped = TrimCache(dir.Path(), 100, &cancel);
    EXPECT_TRUE(stopped.Cancelled);
    EXPECT_EQ(stopped.FilesDeleted, 0u);
    EXPECT_EQ(Survivors(dir.Path(), {L"old", L"sub\\mid", L"new"}), L"old sub\\mid new");

    cancel = false;
    TrimResult result = TrimCache(dir.Path(), 400, &cancel);
    CloseHandle(held);
    EXPECT_FALSE(result.Cancelled);
    EXPECT_EQ(result.FilesSeen, 3u);
    EXPECT_EQ(result.BytesBefore, 900);
    EXPECT_EQ(result.FilesDeleted, 2u);
    EXPECT_EQ(result.FilesNotDeleted, 1u);
    EXPECT_EQ(result.BytesAfter, 300);
    EXPECT_EQ(Survivors(dir.Path(), {L"old", L"sub\\mid", L"new"}), L"sub\\mid");
}

TEST(TrimEndToEnd, APassDeletesOnlyTheProxysFilesByTheirLastUseCountsOnlyThemAndSaysOnceWhatItLeft)
{
    // Three of the proxy's six objects fit the 1 MiB limit beside the stand-in proxy's own three
    // small ones; they go by the later of their two times. The other files are older and larger
    // than all of them: counted or ordered with the proxy's, they would go first.
    struct Row {
        std::wstring Path;
        uint64_t Accessed;  // minutes
        uint64_t Written;
        bool Proxys;
        bool Stays;
    };
    const std::wstring object = Object(L"x");
    const std::wstring name = object.substr(object.find(L'\\') + 1);
    const std::vector<Row> rows = {
        {Object(L"p1"), 1, 9, true, true},
        {Object(L"127.0.0.1:8080\\p2"), 8, 2, true, false},
        {Object(L"p3"), 3, 3, true, false},
        {Object(L"127.0.0.1:8080\\p4"), 10, 1, true, true},
        {Object(L"p5"), 2, 11, true, true},
        {Object(L"p6"), 4, 4, true, false},
        {L"notes.txt", 0, 0, false, true},
        {L"Pictures\\holiday.jpg", 0, 0, false, true},
        {name, 0, 0, false, true},                                          // a level too high
        {L"site\\deeper\\" + name, 0, 0, false, true},                      // a level too deep
        {L"site\\" + name.substr(0, 5) + L"_" + name.substr(6), 0, 0, false, true},  // not in the alphabet
        {L"site\\" + name.substr(0, 22), 0, 0, false, true},                  // without "=="
        {L"My Photos\\" + name, 0, 0, false, true},                           // not a server's folder
    };
    TempDir dir;
    std::wstring cache = dir / L"cache";
    for (const Row& row : rows) {
        MakeCacheFile(cache + L"\\" + row.Path, row.Proxys ? 300000 : 2000000, 0);
        SetFileTimes(cache + L"\\" + row.Path, LONG_AGO + row.Accessed * MINUTE, LONG_AGO + row.Written * MINUTE);
    }
    RunningKelvor kelvor("[kelvor]\r\ncache dir=" + Narrow(cache) + "\r\ncache size=1\r\n");
    ASSERT_TRUE(kelvor.Ready());

    const std::wstring said = L"7 files in " + cache + L" are not the proxy's. kelvor leaves them alone and trims only "
                              L"the proxy's own; if this folder is not meant for the cache, choose another in Settings.";
    HWND balloon = nullptr;
    EXPECT_TRUE(WaitFor([&] {
        for (HWND shown : BalloonWindows())
            balloon = WindowText(shown) == said ? shown : balloon;
        return balloon != nullptr;
    })) << (ShownBalloons().empty() ? "no balloon" : Narrow(ShownBalloons()[0]));
    HWND tip = GetDlgItem(kelvor.Main(), IDC_TIP);
    EXPECT_NE(WindowText(tip).find(L"cache: 1 of 1 MB"), std::wstring::npos) << Narrow(WindowText(tip));
    for (const Row& row : rows)
        EXPECT_EQ(Exists(cache + L"\\" + row.Path), row.Stays) << Narrow(row.Path);

    // The next pass meets the same files and says nothing more: the balloon of the first stays.
    DeleteFileW((cache + L"\\" + rows[0].Path).c_str());
    DeleteFileW((cache + L"\\" + rows[3].Path).c_str());
    PostMessageW(kelvor.Main(), WM_TIMER, 1000, 0);
    EXPECT_TRUE(WaitFor([&] { return WindowText(tip).find(L"cache: 0 of 1 MB") != std::wstring::npos; }))
        << Narrow(WindowText(tip));
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_EQ(BalloonWindows(), std::vector<HWND>{balloon});
    for (const Row& row : rows)
        EXPECT_EQ(Exists(cache + L"\\" + row.Path), row.Stays && row.Path != rows[0].Path && row.Path != rows[3].Path)
            << Narrow(row.Path);
}

TEST(TrimEndToEnd, AProgramFolderAsCacheIsNeverTrimmedAndKelvorSaysSoOnceTheProxyRuns)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"program");
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\ncache dir=.\r\ncache size=1\r\ncache trim interval=soon\r\n");
    CacheFile(program + L"notes.txt", 2000000, 1);
    CacheFile(program + Object(L"old"), 2000000, 1);
    CacheFile(program + L"config", 0, 2);
    std::wstring record = dir / L"record.txt";
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", record);

    // Started from another folder: "." is the program folder all the same.
    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    ASSERT_TRUE(kelvor.Started());
    ASSERT_TRUE(WaitFor([&] { return ReadProxyRecords(record).size() == 1; }));
    std::wstring folder = program.substr(0, program.size() - 1);
    EXPECT_EQ(PressOkOnMessageBox(kelvor.Id()),
              L"kelvor: In " + program + L"kelvor.ini, \"cache trim interval=soon\" is not a whole number of minutes, "
              L"so the cache is trimmed every 120 minutes.\n\nThe cache folder . (" + folder + L") is or contains " +
              folder + L". The proxy runs without a disk cache, and nothing is trimmed, until the folder is "
              L"changed in Settings.");
    // Nor does the proxy get it, which it would fill without limit: its root is empty.
    std::wstring line = ReadProxyRecords(record)[0].CommandLine;
    EXPECT_NE(line.find(L" diskCacheRoot=\"\\\"\\\"\" "), std::wstring::npos) << Narrow(line);

    HWND main = WaitForMainWindow(kelvor.Id());
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_TIMER, 1000, 0);
    Sleep(500);
    EXPECT_TRUE(Exists(program + L"notes.txt"));
    EXPECT_TRUE(Exists(program + Object(L"old")));
    EXPECT_TRUE(Exists(program + L"config"));
    EXPECT_TRUE(Exists(program + L"polipo.exe"));
    // Nor is it purged, by kelvor or the proxy.
    PostMessageW(main, WM_COMMAND, CMD_PURGE_CACHE, 0);
    EXPECT_EQ(PressOkOnMessageBox(kelvor.Id()),
              L"kelvor: The cache folder " + folder + L" is or contains " + folder + L". kelvor deletes files only "
              L"in a folder of the cache's own, so nothing was purged. Please choose another folder in Settings.");
    EXPECT_EQ(ReadProxyRecords(record).size(), 1u);
    EXPECT_TRUE(Exists(program + Object(L"old")));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kelvor.WaitExit(15000));
}

TEST(TrimCache, AFileGoneBeforeItsDeletionFreesItsBytesAndIsNotCountedAsStaying)
{
    TempDir dir;
    CacheFile(dir / Object(L"gone"), 300, 1);
    CacheFile(dir / Object(L"a"), 300, 2);
    CacheFile(dir / Object(L"b"), 300, 3);

    // Another program removes the oldest file after the scan, just before the pass reaches it.
    TrimResult result = DeleteOldestWhile(dir.Path(), nullptr, [&](const TrimResult& sofar, const TrimCandidate&) {
        if (sofar.BytesAfter <= 600)
            return false;
        if (Exists(dir / Object(L"gone")))
            DeleteFileW((dir / Object(L"gone")).c_str());
        return true;
    });
    EXPECT_EQ(Survivors(dir.Path(), {L"gone", L"a", L"b"}), L"a b");
    EXPECT_EQ(result.BytesAfter, 600);
    EXPECT_EQ(result.FilesNotDeleted, 0u);
    EXPECT_EQ(result.FilesDeleted, 0u);
}

namespace {

struct DeepPass {
    std::wstring Folder;
    TrimResult Result;
};

// A walk that kept a frame per level would need several times this for the tree below.
constexpr size_t STACK_LEFT = 64 * 1024;

// Runs the pass with only STACK_LEFT of this thread's stack left to it. (Wine gives every thread
// a stack of at least a megabyte, whatever it is asked for, so the rest is used up first.)
DWORD WINAPI TrimWithLittleStackLeft(void* context)
{
    auto* pass = static_cast<DeepPass*>(context);
    MEMORY_BASIC_INFORMATION stack{};
    VirtualQuery(&stack, &stack, sizeof(stack));
    size_t left = static_cast<size_t>(reinterpret_cast<char*>(&stack) - static_cast<char*>(stack.AllocationBase));
    volatile char* used = static_cast<char*>(_alloca(left - STACK_LEFT));
    used[0] = 0;
    pass->Result = TrimCache(pass->Folder, 150);
    return 0;
}

}  // namespace

TEST(TrimCache, ATreeDeeperThanAThreadsStackCouldRecurseIsWalkedToItsEndAndOnlyTheProxysFilesGo)
{
    // Wine reaches at most about 2,000 levels (the host's own path limit), and slowly: the pass
    // gets little stack instead, which a walk keeping a frame per level would overflow at 200
    // levels, as it would a thread's whole stack at a few thousand.
    const int DEPTH = 200;
    TempDir dir;
    std::wstring top = L"\\\\?\\" + dir.Path() + L"\\deep";
    std::wstring folder = top;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring middle;
    for (int level = 1; level <= DEPTH; ++level) {
        folder += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << level << " " << GetLastError();
        if (level == DEPTH / 2)
            middle = folder;
    }
    // Named as the proxy's, but far below its two levels: counted as not its, and left.
    std::wstring deepest = folder + L"\\" + Object(L"deepest");
    std::wstring inMiddle = middle + L"\\" + Object(L"middle");
    CacheFile(deepest, 100, 0);
    CacheFile(inMiddle, 100, 0);
    CacheFile(top + L"\\" + Object(L"d\\old"), 100, 1);
    CacheFile(top + L"\\" + Object(L"d\\new"), 100, 3);

    DeepPass pass{top, TrimResult()};
    HANDLE thread = CreateThread(nullptr, 0, TrimWithLittleStackLeft, &pass, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(pass.Result.FilesSeen, 2u);
    EXPECT_EQ(pass.Result.OtherFiles, 2u);
    EXPECT_EQ(pass.Result.BytesBefore, 200);
    EXPECT_EQ(pass.Result.FilesDeleted, 1u);
    EXPECT_TRUE(Exists(deepest));
    EXPECT_TRUE(Exists(inMiddle));
    EXPECT_EQ(Survivors(top, {L"d\\old", L"d\\new"}), L"d\\new");
    RemoveTree(top);
}
