// The resources compiled into kelvor.exe, read back from the executable itself.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

// Loaded as data only: nothing of kelvor runs.
class Resources : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // KELVOR_EXE names another build of kelvor.exe to check, such as the other architecture's.
        wchar_t exe[MAX_PATH] = L"";
        if (!GetEnvironmentVariableW(L"KELVOR_EXE", exe, MAX_PATH))
            lstrcpynW(exe, (BinDir() + L"\\kelvor.exe").c_str(), MAX_PATH);
        module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() { FreeLibrary(module); }

    std::wstring String(UINT id) const
    {
        wchar_t text[256] = L"";
        LoadStringW(module, id, text, 256);
        return text;
    }

    std::string Raw(const wchar_t* type, UINT id) const
    {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
        if (!found)
            return std::string();
        HGLOBAL loaded = LoadResource(module, found);
        return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    }

    static HMODULE module;
};
HMODULE Resources::module = nullptr;

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE Width, Height, ColorCount, Reserved;
    WORD Planes, BitCount;
    DWORD BytesInRes;
    WORD Id;
};
#pragma pack(pop)

}  // namespace

TEST_F(Resources, StringTableHoldsTheProgramsTexts)
{
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(String(IDS_CLASS_NAME), L"KELVOR");
    EXPECT_EQ(String(IDS_APP_NAME), L"kelvor");
    EXPECT_EQ(String(IDS_BOOT_FAILED), L"Failed to boot polipo (%d)");
    EXPECT_EQ(String(IDS_ALREADY_RUNNING), L"polipo has been executed.");
    EXPECT_EQ(String(IDS_SELECT_CACHE_DIR), L"Please select cache directory");
}

TEST_F(Resources, BothIconGroupsHoldNineImagesOfTheRightSizesAndDepths)
{
    const std::multiset<std::pair<int, int>> expected = {{16, 4},  {32, 4},  {16, 8},  {32, 8}, {48, 8},
                                                         {16, 32}, {32, 32}, {48, 32}, {256, 32}};
    for (UINT group : {IDI_LARGE, IDI_SMALL}) {
        std::string raw = Raw(RT_GROUP_ICON, group);
        ASSERT_GE(raw.size(), 6u) << group;
        WORD count = *reinterpret_cast<const WORD*>(raw.data() + 4);
        ASSERT_EQ(raw.size(), 6 + count * sizeof(GroupIconEntry)) << group;
        std::multiset<std::pair<int, int>> images;
        for (WORD i = 0; i < count; ++i) {
            const auto* entry = reinterpret_cast<const GroupIconEntry*>(raw.data() + 6) + i;
            images.insert({entry->Width ? entry->Width : 256, entry->BitCount});
            EXPECT_EQ(entry->Width, entry->Height);
            EXPECT_FALSE(Raw(RT_ICON, entry->Id).empty());
        }
        EXPECT_EQ(images, expected) << "icon group " << group;
    }
    // Windows picks a 16-pixel image from the small group for the tray.
    HICON small = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(small, nullptr);
    DestroyIcon(small);
}

TEST_F(Resources, TrayMenuListsTheCommandsInOrder)
{
    HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(IDM_MAIN));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 1);
    wchar_t caption[64] = L"";
    GetMenuStringW(menu, 0, caption, 64, MF_BYPOSITION);
    EXPECT_STREQ(caption, L"&File");

    struct Item {
        UINT Id;
        const wchar_t* Caption;  // null for a separator
    };
    const Item expected[] = {{CMD_CONFIG, L"C&onfig..."},  {CMD_VIEW_LOG, L"View &log..."},
                             {CMD_SETTINGS, L"&Settings..."}, {0, nullptr},
                             {CMD_RESTART, L"&Restart"},     {CMD_PURGE_CACHE, L"&Purge cache"},
                             {0, nullptr},                   {CMD_ABOUT, L"&About..."},
                             {0, nullptr},                   {CMD_EXIT, L"E&xit"}};
    HMENU tray = GetSubMenu(menu, 0);
    ASSERT_EQ(GetMenuItemCount(tray), 10);
    for (int i = 0; i < 10; ++i) {
        wchar_t text[64] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = 64;
        ASSERT_TRUE(GetMenuItemInfoW(tray, i, TRUE, &info));
        EXPECT_EQ(info.hSubMenu, nullptr);
        if (!expected[i].Caption) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR) << i;
            continue;
        }
        EXPECT_EQ(info.fState, 0u) << i;  // enabled, unchecked, not the default item
        EXPECT_EQ(info.wID, expected[i].Id) << i;
        EXPECT_STREQ(text, expected[i].Caption);
    }
    DestroyMenu(menu);
}

TEST_F(Resources, AltQuestionMarkAndAltSlashOpenAbout)
{
    HACCEL table = LoadAcceleratorsW(module, MAKEINTRESOURCEW(IDA_MAIN));
    ASSERT_NE(table, nullptr);
    ACCEL entries[8];
    int count = CopyAcceleratorTableW(table, entries, 8);
    ASSERT_EQ(count, 2);
    std::set<WORD> keys;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(entries[i].cmd, CMD_ABOUT);
        EXPECT_EQ(entries[i].fVirt & (FVIRTKEY | FALT | FSHIFT | FCONTROL), FALT);  // a character, with Alt
        keys.insert(entries[i].key);
    }
    EXPECT_EQ(keys, (std::set<WORD>{L'?', L'/'}));
    DestroyAcceleratorTable(table);
}

TEST_F(Resources, ManifestAsksForTheUsersOwnRightsOnly)
{
    std::string manifest = Raw(MAKEINTRESOURCEW(24), 1);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);
}
