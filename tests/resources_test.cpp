// The resources compiled into kelvor.exe, read back from the executable itself.
#include <gtest/gtest.h>

#include <cstring>
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
        exePath = exe;
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

    // The image of an icon group that Windows picks for a size, or null if there is none.
    const BITMAPINFOHEADER* PickedImage(UINT group, int size) const
    {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
        if (!found)
            return nullptr;
        auto* directory = static_cast<BYTE*>(LockResource(LoadResource(module, found)));
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
        return image ? static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, image))) : nullptr;
    }

    static std::wstring exePath;
    static HMODULE module;
};
std::wstring Resources::exePath;
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
    EXPECT_EQ(String(IDS_START_WITH_WINDOWS_FAILED), L"Start with Windows could not be changed in %1: %2");
}

TEST_F(Resources, EveryIconGroupHoldsNineImagesOfTheRightSizesAndDepths)
{
    const std::multiset<std::pair<int, int>> expected = {{16, 4},  {32, 4},  {16, 8},  {32, 8}, {48, 8},
                                                         {16, 32}, {32, 32}, {48, 32}, {256, 32}};
    for (UINT group : {IDI_LARGE, IDI_SMALL, IDI_STOPPED}) {
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
}

TEST_F(Resources, IconsAreDrawnAtTheSizesTheProgramAsksFor)
{
    // The tray and the class's small icon ask for the small size, the class icon and the About
    // box (LoadIconW) for the large one: for each, Windows must pick an image drawn at that
    // size, not shrink or stretch another.
    const int small = GetSystemMetrics(SM_CXSMICON);
    const int large = GetSystemMetrics(SM_CXICON);
    for (auto [group, size] : {std::pair<UINT, int>{IDI_SMALL, small}, {IDI_STOPPED, small}, {IDI_OFFLINE, small},
                                      {IDI_LARGE, large}}) {
        const BITMAPINFOHEADER* header = PickedImage(group, size);
        ASSERT_NE(header, nullptr) << group;
        EXPECT_EQ(header->biWidth, size) << group;
        EXPECT_EQ(header->biHeight, 2 * size) << group;  // the colours and the mask
        EXPECT_EQ(header->biBitCount, 32) << group;
    }

    // The stopped and offline icons in the tray: another colour where the running one is teal,
    // so most of the square, and a mark of their own, red and amber.
    const BITMAPINFOHEADER* running = PickedImage(IDI_SMALL, small);
    ASSERT_NE(running, nullptr);
    const auto* runningPixels = reinterpret_cast<const RGBQUAD*>(running + 1);
    auto red = [](const RGBQUAD& p) { return p.rgbRed > 160 && p.rgbGreen < 90 && p.rgbBlue < 90; };
    auto amber = [](const RGBQUAD& p) { return p.rgbRed > 200 && p.rgbGreen > 120 && p.rgbGreen < 200 && p.rgbBlue < 80; };
    for (auto [group, mark] : {std::pair<UINT, bool (*)(const RGBQUAD&)>{IDI_STOPPED, red}, {IDI_OFFLINE, amber}}) {
        const BITMAPINFOHEADER* other = PickedImage(group, small);
        ASSERT_NE(other, nullptr) << group;
        const auto* pixels = reinterpret_cast<const RGBQUAD*>(other + 1);
        int differing = 0;
        int marked = 0;
        for (int i = 0; i < small * small; ++i) {
            differing += memcmp(&pixels[i], &runningPixels[i], sizeof(RGBQUAD)) != 0;
            marked += pixels[i].rgbReserved > 128 && mark(pixels[i]);
        }
        EXPECT_GT(differing, small * small / 2) << group;
        EXPECT_GE(marked, small * small / 16) << group;
    }
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
    const Item expected[] = {{CMD_CONFIG, L"C&onfig..."},
                             {CMD_VIEW_LOG, L"View &log..."},
                             {CMD_SETTINGS, L"&Settings..."},
                             {0, nullptr},
                             {CMD_RESTART, L"&Restart"},
                             {CMD_PURGE_CACHE, L"&Purge cache"},
                             {0, nullptr},
                             {CMD_SYSTEM_PROXY, L"&Use as system proxy"},
                             {CMD_WORK_OFFLINE, L"Work o&ffline"},
                             {CMD_START_WITH_WINDOWS, L"Start with &Windows"},
                             {CMD_ABOUT, L"&About..."},
                             {0, nullptr},
                             {CMD_EXIT, L"E&xit"}};
    HMENU tray = GetSubMenu(menu, 0);
    ASSERT_EQ(GetMenuItemCount(tray), 13);
    for (int i = 0; i < 13; ++i) {
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

TEST_F(Resources, ManifestDeclaresDpiAwarenessInTheFormWindowsXpIgnores)
{
    // Read the way the loader reads it: an activation context made from the executable.
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = exePath.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << GetLastError();

    using QuerySettings = BOOL(WINAPI*)(DWORD, HANDLE, const wchar_t*, const wchar_t*, wchar_t*, SIZE_T, SIZE_T*);
    auto query = reinterpret_cast<QuerySettings>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryActCtxSettingsW")));
    ASSERT_NE(query, nullptr);
    wchar_t value[64] = L"";
    SIZE_T written = 0;
    EXPECT_TRUE(query(0, context, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", value,
                      ARRAYSIZE(value), &written))
        << GetLastError();
    EXPECT_STREQ(value, L"true");
    ReleaseActCtx(context);

    // Windows XP's loader knows only its own elements: the declaration is safe there only in
    // another namespace, that of the v3 application element.
    std::string manifest = Raw(MAKEINTRESOURCEW(24), 1);
    EXPECT_NE(manifest.find("<application xmlns=\"urn:schemas-microsoft-com:asm.v3\">"), std::string::npos);
}
