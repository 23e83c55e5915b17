// Which folder the cache is, and which folders a pass must never reach.
#include <gtest/gtest.h>

#include "cache/cache_folder.h"
#include "cache/purge.h"
#include "cache/trim.h"
#include "cache/trim_rules.h"
#include "tests/support/support.h"

namespace {

std::wstring SystemFolder(UINT (WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH] = L"";
    get(path, MAX_PATH);
    return path;
}

CacheDirVerdict Verdict(const std::wstring& program, const std::wstring& cacheDir, std::wstring* which = nullptr)
{
    std::wstring hit;
    CacheDirVerdict verdict = CheckCacheDir(ResolveCacheDir(program, cacheDir), ProtectedFolders(program), hit);
    if (which)
        *which = hit;
    return verdict;
}

}  // namespace

TEST(ResolveCacheDir, RelativeFoldersAreTakenFromTheProgramFolderNotTheCurrentOne)
{
    const std::wstring program = L"C:\\Tools\\kelvor\\";
    SetCurrentDirectoryW(L"C:\\windows");
    EXPECT_EQ(ResolveCacheDir(program, L"."), L"C:\\Tools\\kelvor");
    EXPECT_EQ(ResolveCacheDir(program, L"cache"), L"C:\\Tools\\kelvor\\cache");
    EXPECT_EQ(ResolveCacheDir(program, L"..\\shared cache\\"), L"C:\\Tools\\shared cache");
    EXPECT_EQ(ResolveCacheDir(program, L"sub/deeper/"), L"C:\\Tools\\kelvor\\sub\\deeper");
    EXPECT_EQ(ResolveCacheDir(program, L"\\cache"), L"C:\\cache");
    EXPECT_EQ(ResolveCacheDir(program, L"D:\\proxy\\cache\\"), L"D:\\proxy\\cache");
    EXPECT_EQ(ResolveCacheDir(program, L"C:\\"), L"C:\\");
    EXPECT_EQ(ResolveCacheDir(L"\\\\server\\share\\kelvor\\", L"cache"), L"\\\\server\\share\\kelvor\\cache");
    EXPECT_EQ(ResolveCacheDir(program, L""), L"");
    // Drive-relative: from the program folder on its own drive, from the root on another.
    EXPECT_EQ(ResolveCacheDir(program, L"c:cache"), L"C:\\Tools\\kelvor\\cache");
    EXPECT_EQ(ResolveCacheDir(program, L"D:cache"), L"D:\\cache");
}

TEST(ResolveCacheDir, PutsInEnvironmentVariablesAndTellsOfUnsetOnes)
{
    ScopedEnv variable(L"KELVOR_TEST", L"D:\\Users\\anna");
    EXPECT_EQ(ResolveCacheDir(L"C:\\Tools\\kelvor\\", L"%KELVOR_TEST%\\cache"), L"D:\\Users\\anna\\cache");
    struct Case {
        const wchar_t* written;
        bool unset;
    };
    for (const Case& c : {Case{L"%kelvor_test%\\cache", false}, Case{L"C:\\100% cache", false},
                          Case{L"%KELVOR_NO_SUCH_VARIABLE%\\cache", true}, Case{L"C:\\50%\\%KELVOR_TEST%", false}}) {
        bool unset = !c.unset;
        ExpandCacheDir(c.written, unset);
        EXPECT_EQ(unset, c.unset) << Narrow(c.written);
    }
    CacheDirCheck check = CheckCacheDirSetting(L"C:\\Tools\\kelvor\\", L"%KELVOR_NO_SUCH_VARIABLE%\\cache");
    EXPECT_EQ(check.Verdict, CacheDirVerdict::UnsetVariable);
    EXPECT_EQ(check.Folder, L"");
}

TEST(CheckCacheDir, RefusesFoldersThatAreOrHoldWhatIsNotTheCaches)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"Kelvor Program", false);
    std::wstring which;

    EXPECT_EQ(Verdict(program, L"cache"), CacheDirVerdict::Trimmable);
    EXPECT_EQ(Verdict(program, L"sub\\cache"), CacheDirVerdict::Trimmable);
    EXPECT_EQ(Verdict(program, dir / L"elsewhere"), CacheDirVerdict::Trimmable);
    EXPECT_EQ(Verdict(program, L""), CacheDirVerdict::Empty);

    // The program folder itself, by any spelling, and every folder above it.
    for (const std::wstring& holder : {std::wstring(L"."), std::wstring(L".\\"), std::wstring(L"cache\\.."),
                                       program, dir.Path(), dir / L"KELVOR PROGRAM"}) {
        EXPECT_EQ(Verdict(program, holder, &which), CacheDirVerdict::HoldsProtectedFolder) << Narrow(holder);
    }
    EXPECT_EQ(Verdict(program, L"..", &which), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_TRUE(IsSameOrInside(program, which)) << Narrow(which);

    EXPECT_EQ(Verdict(program, L"C:\\"), CacheDirVerdict::VolumeRoot);
    EXPECT_EQ(Verdict(program, L"C:\\windows\\.."), CacheDirVerdict::VolumeRoot);

    // The system's and the user's own folders, and the folders above them.
    std::wstring windows = SystemFolder(GetWindowsDirectoryW);
    EXPECT_EQ(Verdict(program, windows, &which), CacheDirVerdict::HoldsProtectedFolder);
    // Nothing inside the Windows folder either.
    EXPECT_EQ(Verdict(program, windows + L"\\system32", &which), CacheDirVerdict::InsideProtectedFolder);
    EXPECT_EQ(which, windows);
    EXPECT_EQ(Verdict(program, windows + L"\\no such folder"), CacheDirVerdict::InsideProtectedFolder);
    wchar_t profile[MAX_PATH] = L"";
    ASSERT_GT(GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH), 0u);
    EXPECT_EQ(Verdict(program, profile), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_EQ(Verdict(program, std::wstring(profile) + L"\\.."), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_EQ(Verdict(program, std::wstring(profile) + L"\\Desktop", &which), CacheDirVerdict::HoldsProtectedFolder);
    wchar_t programFiles[MAX_PATH] = L"";
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH), 0u);
    EXPECT_EQ(Verdict(program, programFiles), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_EQ(Verdict(program, std::wstring(programFiles) + L"\\kelvor\\cache"), CacheDirVerdict::Trimmable);

    // Other spellings of the same folders: the long-path form and the short name.
    EXPECT_EQ(Verdict(program, L"\\\\?\\" + program), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_EQ(Verdict(program, L"\\\\.\\" + std::wstring(profile)), CacheDirVerdict::HoldsProtectedFolder);
    wchar_t shortName[MAX_PATH] = L"";
    ASSERT_GT(GetShortPathNameW(program.c_str(), shortName, MAX_PATH), 0u);
    EXPECT_NE(std::wstring(shortName), program);
    EXPECT_EQ(Verdict(program, shortName), CacheDirVerdict::HoldsProtectedFolder) << Narrow(shortName);

    // Too long to hold: refused, never shortened into some parent.
    std::wstring longDir = dir / (std::wstring(120, L'a') + L"\\" + std::wstring(120, L'b') + L"\\cache");
    EXPECT_EQ(Verdict(program, longDir), CacheDirVerdict::TooLong);
}

TEST(CheckCacheDir, KnowsFoldersByWhatTheyAreNotByTheirNames)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"outer\\Kelvor Program", false);
    MakeDirs(dir / L"outer\\cache");
    MakeDirs(dir / L"elsewhere");
    std::wstring which;

    // A second drive letter for the folder that holds the program's parent.
    ScopedDriveLetter drive(dir.Path());
    ASSERT_TRUE(drive.Made());
    for (const wchar_t* holder : {L"outer", L"outer\\Kelvor Program"}) {
        EXPECT_EQ(Verdict(program, drive.Root() + holder, &which), CacheDirVerdict::HoldsProtectedFolder)
            << Narrow(holder);
        EXPECT_EQ(which, WithoutTrailingSeparator(program));
    }
    EXPECT_EQ(Verdict(program, drive.Root() + L"outer\\cache"), CacheDirVerdict::Trimmable);

    // Links: one to the program's parent, one into the Windows folder; and one to a plain
    // folder, which may be turned to any other at any time.
    std::wstring windows = SystemFolder(GetWindowsDirectoryW);
    ScopedLink toParent(dir / L"to parent", dir / L"outer");
    ScopedLink toWindows(dir / L"to windows", windows);
    ScopedLink toElsewhere(dir / L"to elsewhere", dir / L"elsewhere");
    ASSERT_TRUE(toParent.Made() && toWindows.Made() && toElsewhere.Made());
    EXPECT_EQ(Verdict(program, dir / L"to parent"), CacheDirVerdict::HoldsProtectedFolder);
    EXPECT_EQ(Verdict(program, dir / L"to windows\\system32", &which), CacheDirVerdict::InsideProtectedFolder);
    EXPECT_EQ(Verdict(program, dir / L"to elsewhere"), CacheDirVerdict::Link);
    EXPECT_EQ(Verdict(program, dir / L"elsewhere"), CacheDirVerdict::Trimmable);

    // A volume by its own name is a whole volume.
    for (const wchar_t* root : {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\",
                                L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\"})
        EXPECT_TRUE(IsVolumeRoot(root)) << Narrow(root);
    EXPECT_FALSE(IsVolumeRoot(L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\cache"));
    EXPECT_FALSE(IsVolumeRoot(L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\cache"));
}

TEST(TrimRules, LongPathFormAndContainment)
{
    EXPECT_EQ(LongPathForm(L"C:\\a\\b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(LongPathForm(L"c:/a/b"), L"\\\\?\\c:\\a\\b");
    EXPECT_EQ(LongPathForm(L"\\\\server\\share\\a"), L"\\\\?\\UNC\\server\\share\\a");
    EXPECT_EQ(LongPathForm(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
    EXPECT_EQ(LongPathForm(L"relative"), L"relative");

    EXPECT_TRUE(IsSameOrInside(L"C:\\Users\\Ann", L"c:\\users\\"));
    EXPECT_TRUE(IsSameOrInside(L"C:\\Users\\Ann", L"C:/Users/Ann/"));
    EXPECT_TRUE(IsSameOrInside(L"C:\\\u00c9t\u00e9\\x", L"C:\\\u00e9T\u00c9"));
    EXPECT_FALSE(IsSameOrInside(L"C:\\Users\\Annette", L"C:\\Users\\Ann"));
    EXPECT_FALSE(IsSameOrInside(L"C:\\Users", L"C:\\Users\\Ann"));

    EXPECT_EQ(WithoutTrailingSeparator(L"C:\\a\\\\"), L"C:\\a");
    EXPECT_EQ(WithoutTrailingSeparator(L"C:\\"), L"C:\\");
}

TEST(TrimCache, FilesAndFoldersDeeperThanMaxPathAreSeenAndDeleted)
{
    TempDir dir;
    std::wstring cache = dir / L"cache";
    // The folder of a server with a name of 250 characters, and in it the oldest file of the
    // cache, whose full path has well over 300.
    std::string host(246, 'a');
    std::wstring deepFile = LongPathForm(cache) + L"\\" + ProxyFile("http://" + host + ".com/oldest");
    ASSERT_GT(deepFile.size(), 300u);
    MakeCacheFile(deepFile, 1000, 132223104000000000ull);
    std::wstring newer = cache + L"\\" + ProxyFile("http://site/newer");
    MakeCacheFile(newer, 1000, 132223104000000000ull + 600000000ull);

    TrimResult result = TrimCache(cache, 1500);
    EXPECT_EQ(result.FilesSeen, 2u);
    EXPECT_EQ(result.FilesDeleted, 1u);
    EXPECT_EQ(GetFileAttributesW(deepFile.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(Exists(newer));
    RemoveTree(deepFile.substr(0, deepFile.rfind(L'\\')));
}

TEST(CreateCacheDir, MakesEveryMissingParentAndSaysWhyWhenItCannot)
{
    TempDir dir;
    DWORD error = 0;
    EXPECT_TRUE(CreateCacheDir(dir / L"one\\two three\\cache", error));
    EXPECT_TRUE(Exists(dir / L"one\\two three\\cache"));
    EXPECT_TRUE(CreateCacheDir(dir / L"one\\two three\\cache", error));

    WriteFileBytes(dir / L"file", "x");
    EXPECT_FALSE(CreateCacheDir(dir / L"file", error));
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(CreateCacheDir(dir / L"file\\cache", error));
    EXPECT_NE(error, 0u);
}

TEST(PurgeOldFiles, RemovesWhatWasNotUsedBeforeTheCutoffWhateverTheSize)
{
    TempDir dir;
    const uint64_t day = 24ull * 3600 * 10000000;
    const uint64_t now = 134000000000000000ull;
    auto aged = [&](int age) { return dir / ProxyFile("http://site/aged" + std::to_string(age)); };
    for (int age : {40, 33, 31, 1})
        MakeCacheFile(aged(age), 1048576, now - age * day);
    TrimResult result = PurgeOldFiles(dir.Path(), now - PURGE_AGE);
    EXPECT_EQ(result.FilesSeen, 4u);
    EXPECT_EQ(result.FilesDeleted, 2u);
    EXPECT_EQ(result.BytesBefore - result.BytesAfter, 2 * 1048576);
    EXPECT_FALSE(Exists(aged(40)));
    EXPECT_FALSE(Exists(aged(33)));
    EXPECT_TRUE(Exists(aged(31)));
    EXPECT_TRUE(Exists(aged(1)));

    // A drive root is refused as by a trim pass. Were it not, a cutoff at the start of time
    // would still delete nothing there.
    EXPECT_EQ(PurgeOldFiles(L"C:\\", 0).FilesSeen, 0u);
}
