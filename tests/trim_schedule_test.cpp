// kelvor.exe running a pass over a large cache: the window keeps answering, and Exit does not
// wait for the pass.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

constexpr UINT_PTR TRIM_TIMER = 1000;
constexpr int FILE_COUNT = 12000;
// Of 1,000 bytes each against a limit of 1 MiB, all but about the newest 1,048 go (the proxy keeps
// a few small files there too).
constexpr int LAST_TO_GO = FILE_COUNT - 1100;

// Object n of the server d<n % 50>.
std::wstring CacheName(const std::wstring& cache, int n)
{
    char url[48];
    snprintf(url, sizeof(url), "http://d%02d/f%05d", n % 50, n);
    return cache + L"\\" + ProxyFile(url);
}

// FILE_COUNT files in 50 folders, file n last used n minutes after a day long past.
void FillCache(const std::wstring& cache)
{
    for (int folder = 0; folder < 50; ++folder) {
        wchar_t name[8];
        wsprintfW(name, L"\\d%02d", folder);
        MakeDirs(cache + name);
    }
    for (int n = 0; n < FILE_COUNT; ++n) {
        HANDLE file = CreateFileW(CacheName(cache, n).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        LARGE_INTEGER size;
        size.QuadPart = 1000;
        SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        ULARGE_INTEGER time;
        time.QuadPart = 132223104000000000ull + n * 600000000ull;
        FILETIME used = {time.LowPart, time.HighPart};
        SetFileTime(file, nullptr, &used, &used);
        CloseHandle(file);
    }
}

// kelvor with a 1 MiB cache that is filled only once kelvor's start-up pass is over, so that
// the timer pass has it all.
class TimerPass : public ::testing::Test {
protected:
    void SetUp() override
    {
        cache = dir / L"cache";
        MakeDirs(cache);
        kelvor = std::make_unique<RunningKelvor>("[kelvor]\r\ncache dir=" + Narrow(cache) + "\r\ncache size=1\r\n");
        ASSERT_TRUE(kelvor->Ready());
        // The tip gives the cache's use once the start-up pass is over.
        HWND tip = GetDlgItem(kelvor->Main(), IDC_TIP);
        ASSERT_TRUE(WaitFor([&] { return WindowText(tip).find(L"cache: ") != std::wstring::npos; }));
        FillCache(cache);
    }
    // Deleting has begun and has not reached its end.
    bool PassUnderWay() const
    {
        return !Exists(CacheName(cache, 0)) && Exists(CacheName(cache, LAST_TO_GO));
    }
    // A tick of the trim timer, and the wait until its pass has begun deleting.
    void StartPassAndWaitForItsFirstDeletion()
    {
        PostMessageW(kelvor->Main(), WM_TIMER, TRIM_TIMER, 0);
        ASSERT_TRUE(WaitFor([&] { return !Exists(CacheName(cache, 0)); }, 30000));
    }
    // A proxy that closes when asked: what is timed here is the pass, not the proxy's stop.
    ScopedEnv windowedProxy{L"KELVOR_PROXY_WINDOWS", L"1"};
    TempDir dir;
    std::wstring cache;
    std::unique_ptr<RunningKelvor> kelvor;
};

}  // namespace

TEST_F(TimerPass, TheMainWindowKeepsAnsweringWhileAPassRuns)
{
    ASSERT_NO_FATAL_FAILURE(StartPassAndWaitForItsFirstDeletion());
    // Older than all the rest, but made after this pass listed the cache: only a pass that
    // followed this one could find them over the limit and delete them.
    std::wstring late[3];
    for (int n = 0; n < 3; ++n) {
        late[n] = cache + L"\\" + ProxyFile("http://late/" + std::to_string(n));
        MakeCacheFile(late[n], 100000, 132000000000000000ull);
    }

    int answeredDuringPass = 0;
    while (PassUnderWay()) {
        DWORD_PTR result = 0;
        // A pass on the main thread would keep it from answering for seconds; how soon it
        // answers otherwise is up to the machine's load.
        ASSERT_NE(SendMessageTimeoutW(kelvor->Main(), WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result), 0)
            << "no answer within 2 s after " << answeredDuringPass << " answers";
        ++answeredDuringPass;
        // A second tick during the pass is dropped, not queued behind it.
        if (answeredDuringPass == 2)
            PostMessageW(kelvor->Main(), WM_TIMER, TRIM_TIMER, 0);
        Sleep(20);
    }
    EXPECT_GE(answeredDuringPass, 3);

    // The pass ran to its end: the newest files are the ones that fit.
    ASSERT_TRUE(WaitFor([&] { return !Exists(CacheName(cache, LAST_TO_GO)); }, 30000));
    EXPECT_TRUE(Exists(CacheName(cache, FILE_COUNT - 1000)));
    EXPECT_TRUE(Exists(CacheName(cache, FILE_COUNT - 1)));
    // The second tick started no pass of its own after this one.
    Sleep(1000);
    for (const std::wstring& file : late)
        EXPECT_TRUE(Exists(file)) << Narrow(file);
}

TEST_F(TimerPass, ExitDuringAPassEndsThePassAndTheProgram)
{
    Child proxy(kelvor->Records()[0].Pid);
    ASSERT_NO_FATAL_FAILURE(StartPassAndWaitForItsFirstDeletion());
    ASSERT_TRUE(PassUnderWay());

    FILETIME exitAsked = TimeNow();
    PostMessageW(kelvor->Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor->Process().WaitExit(15000));
    EXPECT_EQ(kelvor->Process().ExitCode(), 0u);
    ASSERT_TRUE(proxy.WaitExit(0));
    // The proxy is stopped once the pass is over, which ends it early.
    std::printf("Exit during a pass stopped the proxy in %lld ms\n",
                static_cast<long long>(MsUntilExit(exitAsked, proxy.Handle())));

    // The pass ended early.
    EXPECT_TRUE(Exists(CacheName(cache, LAST_TO_GO)));
}

TEST_F(TimerPass, TheEndOfTheSessionDuringAPassStopsTheProxyQuicklyAndEndsKelvor)
{
    Child proxy(kelvor->Records()[0].Pid);
    ASSERT_NO_FATAL_FAILURE(StartPassAndWaitForItsFirstDeletion());
    ASSERT_TRUE(PassUnderWay());

    FILETIME asked = TimeNow();
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(kelvor->Main(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer);
    ASSERT_TRUE(proxy.WaitExit(5000));
    std::printf("the session's end during a pass stopped the proxy in %lld ms\n",
                static_cast<long long>(MsUntilExit(asked, proxy.Handle())));
    ASSERT_TRUE(kelvor->Process().WaitExit(15000));
    EXPECT_EQ(kelvor->Process().ExitCode(), 0u);
    EXPECT_TRUE(Exists(CacheName(cache, LAST_TO_GO)));
}

namespace {

// A cache of 300,000 files as the benchmarks make it (tests/../scripts/make_cache_tree.py), made
// and removed on the Linux side: under Wine each file made or removed costs a millisecond or more,
// which would keep this test busy for ten minutes. Of its total, a tenth is over Limit().
class LargeCache {
public:
    static constexpr int FILES = 300000;
    explicit LargeCache(const std::wstring& folder) : folder_(folder), unix_(UnixPath(folder))
    {
        std::wstring limitFile = unix_ + L".limit";
        StartLinuxProgram(L"/bin/sh",
                          L"-c \"python3 '" + Widen(KELVOR_SOURCE_DIR) + L"/scripts/make_cache_tree.py' '" + unix_ +
                              L"' " + std::to_wstring(FILES) + L" > '" + limitFile + L".new' && mv '" + limitFile +
                              L".new' '" + limitFile + L"'\"",
                          L"C:\\");
        made_ = WaitFor([&] { return Exists(folder_ + L".limit"); }, 300000);
    }
    ~LargeCache()
    {
        StartLinuxProgram(L"/bin/rm", L"-rf \"" + unix_ + L"\" \"" + unix_ + L".limit\"", L"C:\\");
        WaitFor([&] { return !Exists(folder_) && !Exists(folder_ + L".limit"); }, 120000);
    }
    bool Made() const { return made_; }
    // The limit in whole megabytes, at which a little over a tenth of the files is over it.
    int LimitMB() const
    {
        long long total = 0;
        long long limit = 0;
        sscanf(ReadFileBytes(folder_ + L".limit").c_str(), "%lld %lld", &total, &limit);
        return static_cast<int>(limit / 1048576);
    }

private:
    std::wstring folder_;
    std::wstring unix_;
    bool made_ = false;
};

}  // namespace

TEST(StartUpPass, ExitDuringAPassOf300000FilesEndsThePassAndKelvor)
{
    TempDir dir;
    LargeCache cache(dir / L"cache");
    ASSERT_TRUE(cache.Made());
    // Older than every file of the tree: the pass's first deletion. And one that only a pass run
    // through its first 15,000 deletions would reach.
    const uint64_t UNIX_EPOCH = 116444736000000000ull;
    const uint64_t SECOND = 10000000ull;
    const std::wstring oldest = dir / (L"cache\\" + ProxyFile("http://site/oldest"));
    const std::wstring later = dir / (L"cache\\" + ProxyFile("http://site/later"));
    MakeCacheFile(oldest, 1000, UNIX_EPOCH + 1300000000ull * SECOND);
    MakeCacheFile(later, 1000, UNIX_EPOCH + 1400150000ull * SECOND);

    RunningKelvor kelvor("[kelvor]\r\ncache dir=" + Narrow(dir / L"cache") + "\r\ncache size=" +
                         std::to_string(cache.LimitMB()) + "\r\n");
    ASSERT_TRUE(kelvor.Ready());
    Child proxy(kelvor.Records()[0].Pid);
    // The proxy runs while the pass lists the cache; then the deleting begins.
    DWORD started = GetTickCount();
    ASSERT_TRUE(WaitFor([&] { return !Exists(oldest); }, 120000));
    std::printf("the first deletion came %lu ms after the proxy's start\n", static_cast<unsigned long>(GetTickCount() - started));
    ASSERT_TRUE(Exists(later));

    FILETIME exitAsked = TimeNow();
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    std::printf("Exit during the first pass ended kelvor in %lld ms\n",
                static_cast<long long>(MsUntilExit(exitAsked, kelvor.Process().Handle())));
    EXPECT_EQ(kelvor.Process().ExitCode(), 0u);
    EXPECT_TRUE(proxy.WaitExit(0));
    // The pass ended early.
    EXPECT_TRUE(Exists(later));
}
