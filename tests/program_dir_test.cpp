#include <gtest/gtest.h>

#include "app/state/program_dir.h"

TEST(ProgramDirOf, KeepsDriveAndDirectoryWithOneTrailingBackslash)
{
    EXPECT_EQ(ProgramDirOf(L"C:\\Program Files\\kelvor\\kelvor.exe"), L"C:\\Program Files\\kelvor\\");
    EXPECT_EQ(ProgramDirOf(L"C:\\kelvor.exe"), L"C:\\");
    EXPECT_EQ(ProgramDirOf(L"\\\\server\\share\\tools\\kelvor.exe"), L"\\\\server\\share\\tools\\");
    EXPECT_EQ(ProgramDirOf(L"C:/tools/kelvor.exe"), L"C:/tools/");
    EXPECT_EQ(ProgramDirOf(L"C:kelvor.exe"), L"C:\\");
}

TEST(ProgramDirFits, LeavesRoomForTheLongestAppendedName)
{
    // 238 characters + "proxy-restore.ini.new" = 259: the longest path that still fits MAX_PATH.
    std::wstring dir = L"C:\\" + std::wstring(234, L'a') + L"\\";
    ASSERT_EQ(dir.size(), 238u);
    EXPECT_TRUE(ProgramDirFits(dir));
    EXPECT_FALSE(ProgramDirFits(L"C:\\" + std::wstring(235, L'a') + L"\\"));
    EXPECT_TRUE(ProgramDirFits(L"C:\\"));
}
