#include <gtest/gtest.h>

#include "settings/settings.h"
#include "settings/size_text.h"
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
    std::wstring Text(const std::wstring& path) const { return Widen(ReadFileBytes(path)); }
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
    EXPECT_EQ(Load().CacheSizeMB, 200);
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

TEST_F(SettingsFile, SaveAfterALegacyLoadWritesOnlyTheTwoKeysToTheCurrentFile)
{
    std::string legacy = "[kelvor]\r\ncache dir=D:\\old\r\ncache size=50\r\ncache trim interval=30\r\n";
    WriteFileBytes(Legacy(), legacy);
    EXPECT_TRUE(Save(Load()));
    EXPECT_EQ(ReadFileBytes(Legacy()), legacy);
    std::wstring text = Text(Current());
    EXPECT_NE(text.find(L"cache dir=D:\\old"), std::wstring::npos);
    EXPECT_NE(text.find(L"cache size=50"), std::wstring::npos);
    EXPECT_EQ(text.find(L"cache trim interval"), std::wstring::npos);

    EXPECT_EQ(Load().TrimIntervalMin, 120);
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

TEST(ParseCacheSize, TakesTheLeadingNumberLikeScanf)
{
    int value = 7;
    EXPECT_TRUE(ParseCacheSize(L"300", value));
    EXPECT_EQ(value, 300);
    EXPECT_TRUE(ParseCacheSize(L"  42 MB", value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(ParseCacheSize(L"-5", value));
    EXPECT_EQ(value, -5);
    EXPECT_TRUE(ParseCacheSize(L"+0", value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(ParseCacheSize(L"007", value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(ParseCacheSize(L"2147483647", value));
    EXPECT_EQ(value, 2147483647);
    EXPECT_TRUE(ParseCacheSize(L"-2147483648", value));
    EXPECT_EQ(value, -2147483647 - 1);
}

TEST(ParseCacheSize, LeavesTheValueForTextThatIsNoNumberOrDoesNotFit)
{
    for (const wchar_t* text : {L"", L"abc", L"MB 300", L"-", L"+ 3", L"2147483648", L"-2147483649",
                                L"99999999999999999999"}) {
        int value = 123;
        EXPECT_FALSE(ParseCacheSize(text, value)) << text;
        EXPECT_EQ(value, 123) << text;
    }
}
