// "Start with Windows": the Run value in this Wine prefix's real registry, written and read by
// the functions and by the menu command of a running kelvor.
#include <gtest/gtest.h>

#include <vector>

#include "app/control/autostart.h"
#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

constexpr wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Takes the "kelvor" value away for the test and puts back whatever was there at the end, so
// that no test leaves the prefix starting a program at its next boot.
class SavedRunValue {
public:
    SavedRunValue()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        DWORD bytes = 0;
        if (RegQueryValueExW(key, L"kelvor", nullptr, &type_, nullptr, &bytes) == ERROR_SUCCESS) {
            data_.resize(bytes);
            had_ = RegQueryValueExW(key, L"kelvor", nullptr, &type_, data_.data(), &bytes) == ERROR_SUCCESS;
            RegDeleteValueW(key, L"kelvor");
        }
        RegCloseKey(key);
    }

    ~SavedRunValue()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        if (had_)
            RegSetValueExW(key, L"kelvor", 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
        else
            RegDeleteValueW(key, L"kelvor");
        RegCloseKey(key);
    }

    SavedRunValue(const SavedRunValue&) = delete;
    SavedRunValue& operator=(const SavedRunValue&) = delete;

private:
    bool had_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> data_;
};

// The value as stored, "(none)" when there is none.
std::wstring RunValue(DWORD* type = nullptr)
{
    wchar_t data[1024] = L"";
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    DWORD stored = 0;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_QUERY_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        result = RegQueryValueExW(key, L"kelvor", nullptr, &stored, reinterpret_cast<BYTE*>(data), &bytes);
        RegCloseKey(key);
    }
    if (type)
        *type = stored;
    return result == ERROR_SUCCESS ? data : L"(none)";
}

void SetRunValue(const std::wstring& command, DWORD type = REG_SZ)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"kelvor", 0, type, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

}  // namespace

TEST(StartWithWindows, WritesReadsPointsHereAndRemovesTheRunValue)
{
    SavedRunValue saved;
    TempDir dir;
    const std::wstring exe = dir / L"Program Files\\kelvor\\kelvor.exe";
    const std::wstring other = dir / L"old copy\\kelvor.exe";
    DWORD error = 12345;

    EXPECT_FALSE(IsStartWithWindowsOn(exe));
    ASSERT_TRUE(SetStartWithWindows(exe, true, error)) << error;
    EXPECT_EQ(error, 0u);
    DWORD type = 0;
    EXPECT_EQ(RunValue(&type), L"\"" + dir.Path() + L"\\Program Files\\kelvor\\kelvor.exe\"");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_TRUE(IsStartWithWindowsOn(exe));
    EXPECT_TRUE(IsStartWithWindowsOn(dir / L"PROGRAM FILES\\Kelvor\\KELVOR.EXE"));
    EXPECT_FALSE(IsStartWithWindowsOn(other));
    EXPECT_FALSE(IsStartWithWindowsOn(dir / L"Program Files\\kelvor\\kelvor.ex"));

    // Another copy's value: off for this one, which leaves it alone when asked to be off ...
    SetRunValue(L"\"" + other + L"\"");
    EXPECT_FALSE(IsStartWithWindowsOn(exe));
    EXPECT_TRUE(IsStartWithWindowsOn(other));
    EXPECT_TRUE(SetStartWithWindows(exe, false, error));
    EXPECT_EQ(RunValue(), L"\"" + other + L"\"");
    // ... and points it here when asked to be on.
    ASSERT_TRUE(SetStartWithWindows(exe, true, error));
    EXPECT_EQ(RunValue(), L"\"" + exe + L"\"");

    // Values written by hand or by other tools that start this same program.
    SetRunValue(exe);
    EXPECT_TRUE(IsStartWithWindowsOn(exe));
    SetRunValue(L"\"" + exe + L"\" /minimized");
    EXPECT_TRUE(IsStartWithWindowsOn(exe));
    {
        ScopedEnv base(L"KELVOR_TEST_BASE", dir.Path());
        SetRunValue(L"\"%KELVOR_TEST_BASE%\\Program Files\\kelvor\\kelvor.exe\"", REG_EXPAND_SZ);
        EXPECT_TRUE(IsStartWithWindowsOn(exe));
    }
    SetRunValue(L"");
    EXPECT_FALSE(IsStartWithWindowsOn(exe));
    EXPECT_FALSE(IsStartWithWindowsOn(L""));

    SetRunValue(L"\"" + exe + L"\"");
    error = 12345;
    ASSERT_TRUE(SetStartWithWindows(exe, false, error)) << error;
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(RunValue(), L"(none)");
    EXPECT_FALSE(IsStartWithWindowsOn(exe));
    // Nothing left to remove is no failure.
    EXPECT_TRUE(SetStartWithWindows(exe, false, error));
}

TEST(Kelvor, StartWithWindowsCommandTogglesTheValueForItsOwnExecutable)
{
    SavedRunValue saved;
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    const std::wstring here = L"\"" + kelvor.Program() + L"kelvor.exe\"";
    auto sendCommand = [&] {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(kelvor.Main(), WM_COMMAND, CMD_START_WITH_WINDOWS, 0, SMTO_ABORTIFHUNG, 5000,
                                   &result) != 0;
    };

    ASSERT_TRUE(sendCommand());
    EXPECT_EQ(_wcsicmp(RunValue().c_str(), here.c_str()), 0) << Narrow(RunValue());
    ASSERT_TRUE(sendCommand());
    EXPECT_EQ(RunValue(), L"(none)");

    // Left by another copy: the command points it at this one instead of removing it.
    SetRunValue(L"\"C:\\old copy\\kelvor.exe\"");
    ASSERT_TRUE(sendCommand());
    EXPECT_EQ(_wcsicmp(RunValue().c_str(), here.c_str()), 0) << Narrow(RunValue());
    EXPECT_TRUE(kelvor.Process().Running());
}
