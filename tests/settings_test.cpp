#include <gtest/gtest.h>

#include <cstring>

#include "settings/settings.h"
#include "settings/number_text.h"
#include "tests/support/support.h"

namespace {

// A program folder of its own for each test.
class SettingsFile : public ::testing::Test {
protected:
    std::wstring Program() const { return dir.Path() + L"\\"; }
    Settings Load() const { return LoadSettings(Program()); }
    bool Save(const Settings& settings) const
    {
        DWORD error = 0;
        return SaveSettings(Program(), settings, error);
    }
    std::wstring Current() const { return dir / L"kelvor.ini"; }
    std::wstring Legacy() const { return dir / L"polipo.ini"; }
    // The file's text, UTF-16 when it starts with its byte-order mark, UTF-8 otherwise.
    std::wstring Text(const std::wstring& path) const
    {
        std::string bytes = ReadFileBytes(path);
        if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0)
            return Widen(bytes);
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        memcpy(&text[0], bytes.data() + 2, text.size() * 2);
        return text;
    }
    TempDir dir;
};

}  // namespace

TEST_F(SettingsFile, NoFileGivesTheDefaultsAndCreatesNothing)
{
    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, dir.Path() + L"\\cache");
    EXPECT_EQ(settings.CacheSizeMB, 200);
    EXPECT_EQ(settings.TrimIntervalMin, 120);
    EXPECT_FALSE(Exists(Current()));
    EXPECT_FALSE(Exists(Legacy()));
}

TEST_F(SettingsFile, LegacyFileIsReadWhenTheCurrentOneIsAbsent)
{
    WriteFileBytes(Legacy(), "[kelvor]\r\ncache dir=D:\\old cache\r\ncache size=50\r\ncache trim interval=30\r\n");
    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, L"D:\\old cache");
    EXPECT_EQ(settings.CacheSizeMB, 50);
    EXPECT_EQ(settings.TrimIntervalMin, 30);
}

TEST_F(SettingsFile, OnlyTheCurrentFileIsReadWhenBothExist)
{
    WriteFileBytes(Legacy(), "[kelvor]\r\ncache dir=D:\\old\r\ncache size=50\r\ncache trim interval=30\r\n");
    WriteFileBytes(Current(), "[kelvor]\r\ncache size=75\r\n");
    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, dir.Path() + L"\\cache");
    EXPECT_EQ(settings.CacheSizeMB, 75);
    EXPECT_EQ(settings.TrimIntervalMin, 120);
}

TEST_F(SettingsFile, AFolderNamedKelvorIniCountsAsPresent)
{
    WriteFileBytes(Legacy(), "[kelvor]\r\ncache size=50\r\n");
    CreateDirectoryW(Current().c_str(), nullptr);
    Settings settings = Load();
    // Neither read instead of it nor taken over later by a save.
    EXPECT_EQ(settings.File, Current());
    EXPECT_FALSE(settings.FromLegacyFile);
    EXPECT_EQ(settings.CacheSizeMB, 200);
}

TEST_F(SettingsFile, OtherSectionsAndAnEmptyDirectoryAreTakenAsWritten)
{
    WriteFileBytes(Current(), "[other]\r\ncache size=1\r\n[kelvor]\r\ncache dir=\r\ncache size=-5\r\n");
    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, L"");
    EXPECT_EQ(settings.CacheSizeMB, -5);
}

TEST_F(SettingsFile, SaveWritesBothKeysWithTheirSignAndNothingElse)
{
    Settings saved;
    saved.CacheDir = L"E:\\Proxy Cache";
    saved.CacheSizeMB = -5;
    saved.TrimIntervalMin = 30;
    EXPECT_TRUE(Save(saved));

    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, L"E:\\Proxy Cache");
    EXPECT_EQ(settings.CacheSizeMB, -5);
    EXPECT_EQ(settings.TrimIntervalMin, 120);
    std::wstring text = Text(Current());
    EXPECT_NE(text.find(L"cache size=-5"), std::wstring::npos);
    EXPECT_EQ(text.find(L"trim interval"), std::wstring::npos);

    saved.CacheSizeMB = 0;
    EXPECT_TRUE(Save(saved));
    EXPECT_NE(Text(Current()).find(L"cache size=0"), std::wstring::npos);
}

TEST_F(SettingsFile, TheFirstSaveAfterALegacyLoadKeepsEveryKeyOfTheOlderFile)
{
    std::string legacy = "[kelvor]\r\ncache dir=D:\\old\r\ncache size=50\r\ncache trim interval=30\r\n";
    WriteFileBytes(Legacy(), legacy);
    Settings loaded = Load();
    EXPECT_TRUE(loaded.FromLegacyFile);
    loaded.CacheSizeMB = 60;
    EXPECT_TRUE(Save(loaded));
    EXPECT_EQ(ReadFileBytes(Legacy()), legacy);

    Settings settings = Load();
    EXPECT_FALSE(settings.FromLegacyFile);
    EXPECT_EQ(settings.CacheDir, L"D:\\old");
    EXPECT_EQ(settings.CacheSizeMB, 60);
    EXPECT_EQ(settings.TrimIntervalMin, 30);
}

TEST_F(SettingsFile, ANewFileIsUtf16SoEveryCharacterOfAFolderSurvives)
{
    Settings saved;
    saved.CacheDir = L"C:\\\u041a\u044d\u0448 \u7f13\u5b58";  // Cyrillic and CJK
    saved.CacheSizeMB = 7;
    EXPECT_TRUE(Save(saved));
    std::string bytes = ReadFileBytes(Current());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(Load().CacheDir, saved.CacheDir);

    // An existing file in the ANSI code page keeps working, and keeps its other keys.
    WriteFileBytes(Current(), "[kelvor]\r\ncache dir=C:\\plain\r\ncache trim interval=15\r\n");
    EXPECT_EQ(Load().CacheDir, L"C:\\plain");
    saved.CacheDir = L"C:\\other";
    EXPECT_TRUE(Save(saved));
    EXPECT_EQ(Load().CacheDir, L"C:\\other");
    EXPECT_EQ(Load().TrimIntervalMin, 15);

    // A name its code page cannot hold turns that file into UTF-16 first: nothing is lost.
    saved.CacheDir = L"D:\\\u041a\u044d\u0448";
    EXPECT_TRUE(Save(saved));
    EXPECT_EQ(ReadFileBytes(Current()).substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(Load().CacheDir, saved.CacheDir);
    EXPECT_EQ(Load().TrimIntervalMin, 15);
}

TEST_F(SettingsFile, AFileThatCannotBeWrittenIsReportedWithTheSystemsReason)
{
    // Held by another program that shares it with nobody (as root, Wine writes read-only files).
    WriteFileBytes(Current(), "[kelvor]\r\ncache size=10\r\n");
    HANDLE held = CreateFileW(Current().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Settings saved;
    saved.CacheDir = L"C:\\c";
    saved.CacheSizeMB = 20;
    DWORD error = 0;
    EXPECT_FALSE(SaveSettings(Program(), saved, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(held);
    EXPECT_EQ(Load().CacheSizeMB, 10);

    // A program folder that does not exist cannot take a new file either.
    EXPECT_FALSE(SaveSettings(dir / L"missing\\", saved, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // An ANSI file far too large to be settings is not rewritten as UTF-16 for a name outside
    // its code page, and the save says why.
    WriteFileOfSize(Current(), 1 << 24);
    saved.CacheDir = L"C:\\\u041a\u044d\u0448";
    error = 0;
    EXPECT_FALSE(SaveSettings(Program(), saved, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
}

TEST_F(SettingsFile, AUtf8FileIsReadAndSavedWithoutLoss)
{
    const std::string cyrillic = "\xD0\x9A\xD1\x8D\xD1\x88";
    WriteFileBytes(Current(), "\xEF\xBB\xBF[kelvor]\r\ncache dir=D:\\" + cyrillic +
                                  "\r\ncache trim interval=15\r\n[mine]\r\nname=" + cyrillic + "\r\n");
    Settings loaded = Load();
    EXPECT_EQ(loaded.CacheDir, L"D:\\\u041a\u044d\u0448");
    EXPECT_EQ(loaded.TrimIntervalMin, 15);
    loaded.CacheSizeMB = 30;
    EXPECT_TRUE(Save(loaded));
    Settings saved = Load();
    EXPECT_EQ(saved.CacheDir, loaded.CacheDir);
    EXPECT_EQ(saved.CacheSizeMB, 30);
    EXPECT_EQ(saved.TrimIntervalMin, 15);
    EXPECT_EQ(ReadFileBytes(Current()).substr(0, 2), "\xFF\xFE");
    wchar_t name[100] = L"";
    GetPrivateProfileStringW(L"mine", L"name", L"", name, 100, Current().c_str());
    EXPECT_EQ(Narrow(name), cyrillic);
}

TEST_F(SettingsFile, AFileWithoutAMarkIsUtf8WhenItIsValidUtf8AndAnsiOtherwise)
{
    // As an ANSI editor saves it, in this system's code page.
    const std::wstring ansiFolder = L"D:\\Caf\u00e9";
    char ansi[16] = "";
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, ansiFolder.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr), 0);
    ASSERT_EQ(static_cast<unsigned char>(ansi[6]), 0xE9u) << "the code page has no one-byte e-acute";
    const struct {
        std::string Folder;
        std::wstring Read;
        bool Utf8;
    } cases[] = {
        // As Notepad saves UTF-8: without a mark.
        {"D:\\\xD0\x9A\xD1\x8D\xD1\x88", L"D:\\\u041a\u044d\u0448", true},
        {"D:\\\xE7\xBC\x93\xE5\xAD\x98", L"D:\\\u7f13\u5b58", true},
        {ansi, ansiFolder, false},
    };
    for (const auto& each : cases) {
        std::string bytes = "[kelvor]\r\ncache dir=" + each.Folder + "\r\ncache trim interval=15\r\n";
        WriteFileBytes(Current(), bytes);
        Settings loaded = Load();
        EXPECT_EQ(loaded.CacheDir, each.Read) << Narrow(each.Read);
        EXPECT_EQ(loaded.TrimIntervalMin, 15);
        EXPECT_EQ(ReadFileBytes(Current()), bytes);
        // A save from Settings makes UTF-8 UTF-16, and every character stays.
        loaded.CacheSizeMB = 30;
        EXPECT_TRUE(Save(loaded));
        EXPECT_EQ(ReadFileBytes(Current()).substr(0, 2) == "\xFF\xFE", each.Utf8);
        EXPECT_EQ(Load().CacheDir, each.Read) << Narrow(each.Read);
        EXPECT_EQ(Load().TrimIntervalMin, 15);
    }
}

TEST_F(SettingsFile, AFileInAFormKelvorCannotReadIsNeitherReadNorChanged)
{
    // UTF-16 big-endian, and UTF-8 that is not.
    for (const std::string& bytes : {std::string("\xFE\xFF\0[\0k\0e\0l\0v\0o\0r\0]", 16),
                                     std::string("\xEF\xBB\xBF[kelvor]\r\ncache size=\xC0\x80\r\n")}) {
        WriteFileBytes(Current(), bytes);
        Settings loaded = Load();
        EXPECT_TRUE(loaded.Unreadable);
        EXPECT_EQ(loaded.CacheSizeMB, 200);
        DWORD error = 0;
        EXPECT_FALSE(SaveSettings(Program(), loaded, error));
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE));
        EXPECT_EQ(ReadFileBytes(Current()), bytes);
    }
}

TEST_F(SettingsFile, ASaveThatFailsHalfwayLeavesTheOldFileByteForByte)
{
    const std::string ansi = "[kelvor]\r\ncache dir=C:\\plain\r\ncache trim interval=15\r\n";
    Settings saved;
    saved.CacheDir = L"D:\\\u041a\u044d\u0448";  // needs the file made UTF-16
    // An editor that lets others read and write the file, but not replace it; then a folder
    // where the new file would go.
    WriteFileBytes(Current(), ansi);
    HANDLE held = CreateFileW(Current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Save(saved));
    CloseHandle(held);
    EXPECT_EQ(ReadFileBytes(Current()), ansi);
    EXPECT_FALSE(Exists(Current() + L".new"));

    ASSERT_TRUE(CreateDirectoryW((Current() + L".new").c_str(), nullptr));
    EXPECT_FALSE(Save(saved));
    EXPECT_EQ(ReadFileBytes(Current()), ansi);
    RemoveDirectoryW((Current() + L".new").c_str());
    EXPECT_TRUE(Save(saved));
    EXPECT_EQ(Load().CacheDir, saved.CacheDir);
}

TEST(FolderAsTyped, DropsTheBlanksAndOnePairOfQuotesAround)
{
    struct Case {
        const wchar_t* typed;
        const wchar_t* meant;
    };
    for (const Case& c : {Case{L"\"C:\\My cache\"", L"C:\\My cache"}, Case{L"  \" C:\\c \"  ", L"C:\\c"},
                          Case{L"\"\"C:\\c\"\"", L"\"C:\\c\""}, Case{L"\"C:\\c", L"\"C:\\c"},
                          Case{L"%LOCALAPPDATA%\\kelvor", L"%LOCALAPPDATA%\\kelvor"}, Case{L"\"\"", L""}})
        EXPECT_EQ(FolderAsTyped(c.typed), c.meant) << Narrow(c.typed);
}

TEST_F(SettingsFile, NumbersThatAreNotWholeNumbersInRangeAreNotGuessedAt)
{
    struct Case {
        const char* size;
        const char* interval;
        int sizeMB;
        int intervalMin;
        size_t unusable;
    };
    for (const Case& c : {Case{"abc", "15", 0, 15, 1}, Case{"3000000000", "x", 0, 120, 2},
                          Case{"300 MB", "-5", 0, 120, 2}, Case{"", "99999999999", 0, 120, 2},
                          Case{" 42 ", "+30", 42, 30, 0}, Case{"-1", "0", -1, 120, 1},
                          Case{"0", "35791", 0, 35791, 0}, Case{"1", "35792", 1, 120, 1}}) {
        WriteFileBytes(Current(), std::string("[kelvor]\r\ncache size=") + c.size +
                                      "\r\ncache trim interval=" + c.interval + "\r\n");
        Settings settings = Load();
        EXPECT_EQ(settings.CacheSizeMB, c.sizeMB) << c.size;
        EXPECT_EQ(settings.TrimIntervalMin, c.intervalMin) << c.interval;
        ASSERT_EQ(settings.Unusable.size(), c.unusable) << c.size << " " << c.interval;
        if (c.unusable > 0 && settings.Unusable[0].Key == L"cache size") {
            EXPECT_EQ(settings.Unusable[0].Text, Widen(c.size));
        }
        EXPECT_EQ(settings.File, Current());
    }
    // Keys that are missing take their defaults without a word.
    WriteFileBytes(Current(), "[kelvor]\r\n");
    EXPECT_TRUE(Load().Unusable.empty());
    EXPECT_EQ(Load().CacheSizeMB, 200);
}

TEST_F(SettingsFile, ALongCacheDirIsReadWhole)
{
    std::wstring longDir = L"C:\\" + std::wstring(300, L'd');
    WriteFileBytes(Current(), "[kelvor]\r\ncache dir=" + Narrow(longDir) + "\r\n");
    Settings settings = Load();
    EXPECT_EQ(settings.CacheDir, longDir);
    EXPECT_FALSE(settings.CacheDirCut);
}

TEST_F(SettingsFile, SaveKeepsTheFilesOtherKeys)
{
    WriteFileBytes(Current(), "[kelvor]\r\ncache trim interval=45\r\n[mine]\r\nx=1\r\n");
    Settings saved;
    saved.CacheDir = L"C:\\c";
    saved.CacheSizeMB = 10;
    EXPECT_TRUE(Save(saved));
    EXPECT_EQ(Load().TrimIntervalMin, 45);
    EXPECT_NE(Text(Current()).find(L"x=1"), std::wstring::npos);
}

TEST(ParseWholeNumber, TakesOneSignedNumberWithBlanksAround)
{
    int value = 7;
    EXPECT_TRUE(ParseWholeNumber(L"300", value));
    EXPECT_EQ(value, 300);
    EXPECT_TRUE(ParseWholeNumber(L"  42\t", value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(ParseWholeNumber(L"-5", value));
    EXPECT_EQ(value, -5);
    EXPECT_TRUE(ParseWholeNumber(L"+0", value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(ParseWholeNumber(L"007", value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(ParseWholeNumber(L"2147483647", value));
    EXPECT_EQ(value, 2147483647);
    EXPECT_TRUE(ParseWholeNumber(L"-2147483648", value));
    EXPECT_EQ(value, -2147483647 - 1);
}

TEST(ParseWholeNumber, LeavesTheValueForTextThatIsNoWholeNumberOrDoesNotFit)
{
    for (const wchar_t* text : {L"", L"  ", L"abc", L"MB 300", L"300 MB", L"3.5", L"-", L"+ 3", L"1e3",
                                L"2147483648", L"-2147483649", L"3000000000", L"99999999999999999999"}) {
        int value = 123;
        EXPECT_FALSE(ParseWholeNumber(text, value)) << Narrow(text);
        EXPECT_EQ(value, 123) << Narrow(text);
    }
}
