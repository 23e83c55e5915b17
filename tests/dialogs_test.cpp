// The Settings and About dialogs of kelvor.exe running for real with the stand-in proxy, and
// their templates as compiled into the executable.
#include <gtest/gtest.h>

#include <set>

#include "app/resources/resource.h"
#include "tests/support/support.h"

namespace {

HWND OpenDialog(RunningKelvor& kelvor, UINT command, const wchar_t* caption)
{
    PostMessageW(kelvor.Main(), WM_COMMAND, command, 0);
    HWND dialog = WaitForWindowTitled(kelvor.Process().Id(), L"#32770", caption);
    // The title is there from the dialog's creation; it is shown only after WM_INITDIALOG.
    if (dialog)
        WaitFor([&] { return IsWindowVisible(dialog) != FALSE; });
    return dialog;
}

std::wstring Field(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

void Type(HWND dialog, int id, const std::wstring& text)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &result);
}

// Presses a button as its click ends up reaching the dialog: as the button's command. (A posted
// BM_CLICK is played as a mouse press and release, which a change of capture can swallow.)
void Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Presses a button of the dialog and waits until the dialog, and the command that opened it,
// are over. On failure: what kelvor shows instead.
testing::AssertionResult Click(RunningKelvor& kelvor, HWND dialog, int id)
{
    Press(dialog, id);
    if (WaitFor([&] { return !IsWindow(dialog); }) && WaitUntilIdle(kelvor.Main()))
        return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure() << "the dialog stays open";
    for (HWND window : TopWindows(kelvor.Process().Id(), L"#32770"))
        if (window != dialog && IsWindowVisible(window))
            failure << "; over it: " << Narrow(WindowText(window)) << ": " << Narrow(StaticTexts(window));
    return failure;
}

// Presses a key on the control that has the keyboard focus in the dialog's thread.
void PressKey(HWND dialog, WPARAM key)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    HWND target = info.hwndFocus ? info.hwndFocus : dialog;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 1 | (3u << 30));
}

std::wstring IniValue(const RunningKelvor& kelvor, const wchar_t* key)
{
    wchar_t value[MAX_PATH] = L"";
    GetPrivateProfileStringW(L"kelvor", key, L"(none)", value, MAX_PATH,
                             (kelvor.Program() + L"kelvor.ini").c_str());
    return value;
}

// 100-ns units since 1601, for a day in 2020 plus some hours: long before any test runs.
uint64_t LongAgo(int hours)
{
    return 132223104000000000ull + static_cast<uint64_t>(hours) * 36000000000ull;
}

// One control of a DIALOGEX template.
struct TemplateItem {
    DWORD Style;
    short X, Y, Width, Height;
    int Id;
    std::wstring Class;
    std::wstring Text;
};

bool IsClass(const TemplateItem& item, const wchar_t* name)
{
    return _wcsicmp(item.Class.c_str(), name) == 0;
}

struct DialogTemplate {
    const BYTE* Data = nullptr;
    DWORD Style = 0;
    short Width = 0, Height = 0;
    std::vector<TemplateItem> Items;
};

// Reads a name-or-ordinal field; ordinals of the predefined classes become their names.
std::wstring ReadNameOrOrdinal(const WORD*& at)
{
    if (*at == 0xFFFF) {
        WORD ordinal = at[1];
        at += 2;
        switch (ordinal) {
        case 0x80: return L"Button";
        case 0x81: return L"Edit";
        case 0x82: return L"Static";
        default: return L"#" + std::to_wstring(ordinal);
        }
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(at));
    at += text.size() + 1;
    return text;
}

const WORD* AlignToDword(const WORD* at, const BYTE* start)
{
    size_t offset = reinterpret_cast<const BYTE*>(at) - start;
    return reinterpret_cast<const WORD*>(start + ((offset + 3) & ~size_t(3)));
}

DialogTemplate ReadDialogTemplate(HMODULE module, UINT id)
{
    DialogTemplate dialog;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (!found)
        return dialog;
    const auto* start = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    const auto* words = reinterpret_cast<const WORD*>(start);
    if (words[0] != 1 || words[1] != 0xFFFF)
        return dialog;
    dialog.Data = start;
    dialog.Style = *reinterpret_cast<const DWORD*>(start + 12);
    WORD count = *reinterpret_cast<const WORD*>(start + 16);
    dialog.Width = *reinterpret_cast<const short*>(start + 22);
    dialog.Height = *reinterpret_cast<const short*>(start + 24);
    const WORD* at = reinterpret_cast<const WORD*>(start + 26);
    ReadNameOrOrdinal(at);  // menu
    ReadNameOrOrdinal(at);  // class
    ReadNameOrOrdinal(at);  // caption
    if (dialog.Style & DS_SETFONT) {
        at += 3;  // point size, weight, italic and character set
        ReadNameOrOrdinal(at);
    }
    for (WORD i = 0; i < count; ++i) {
        at = AlignToDword(at, start);
        const auto* fixed = reinterpret_cast<const BYTE*>(at);
        TemplateItem item;
        item.Style = *reinterpret_cast<const DWORD*>(fixed + 8);
        item.X = *reinterpret_cast<const short*>(fixed + 12);
        item.Y = *reinterpret_cast<const short*>(fixed + 14);
        item.Width = *reinterpret_cast<const short*>(fixed + 16);
        item.Height = *reinterpret_cast<const short*>(fixed + 18);
        item.Id = *reinterpret_cast<const int*>(fixed + 20);
        at = reinterpret_cast<const WORD*>(fixed + 24);
        item.Class = ReadNameOrOrdinal(at);
        item.Text = ReadNameOrOrdinal(at);
        WORD extra = *at++;
        at = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(at) + extra);
        dialog.Items.push_back(item);
    }
    return dialog;
}

std::vector<HWND> Children(HWND dialog)
{
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

// The controls that Tab visits, in order: the dialog manager's own walk from the first one.
std::vector<int> TabOrder(HWND dialog)
{
    std::vector<int> order;
    HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
    for (HWND at = first; at && order.size() < 20;) {
        order.push_back(GetDlgCtrlID(at));
        at = GetNextDlgTabItem(dialog, at, FALSE);
        if (at == first)
            break;
    }
    return order;
}

INT_PTR CALLBACK Inert(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

class KelvorResources : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        module = LoadLibraryExW((BinDir() + L"\\kelvor.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() { FreeLibrary(module); }
    static HMODULE module;
};
HMODULE KelvorResources::module = nullptr;

}  // namespace

TEST(About, ShowsBothVersionsAndClosesWithOkEnterAndEscape)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());

    for (int way = 0; way < 3; ++way) {
        HWND about = OpenDialog(kelvor, CMD_ABOUT, L"About");
        ASSERT_NE(about, nullptr) << way;
        ASSERT_TRUE(WaitFor([&] { return !StaticTexts(about).empty(); }));
        std::wstring texts = StaticTexts(about);
        EXPECT_NE(texts.find(L"kelvor version 0.05\n"), std::wstring::npos) << Narrow(texts);
        EXPECT_NE(texts.find(L"polipo 1.0.4\n"), std::wstring::npos) << Narrow(texts);
        EXPECT_TRUE(IsWindowVisible(about));

        if (way == 0)
            Press(about, IDOK);
        else
            PressKey(about, way == 1 ? VK_RETURN : VK_ESCAPE);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); })) << way;
        EXPECT_TRUE(WaitUntilIdle(kelvor.Main())) << way;
    }
    EXPECT_TRUE(kelvor.Process().Running());
    EXPECT_EQ(kelvor.Records().size(), 1u);
}

TEST(About, AltQuestionMarkAndAltSlashOpenIt)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    DWORD pid = kelvor.Process().Id();

    // Shortcuts are matched against the keys held down, which are the state of kelvor's input
    // queue: share it, and hold Alt down there as the keyboard would.
    DWORD kelvorThread = GetWindowThreadProcessId(kelvor.Main(), nullptr);
    ASSERT_TRUE(AttachThreadInput(GetCurrentThreadId(), kelvorThread, TRUE));
    auto holdAlt = [](bool down) {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_MENU] = keys[VK_LMENU] = down ? 0x80 : 0;
        SetKeyboardState(keys);
    };

    // The characters alone are no shortcut.
    holdAlt(false);
    PostMessageW(kelvor.Main(), WM_CHAR, L'?', 1);
    PostMessageW(kelvor.Main(), WM_CHAR, L'/', 1);
    EXPECT_EQ(WaitForWindowTitled(pid, L"#32770", L"About", 1000), nullptr);

    for (wchar_t key : {L'?', L'/'}) {
        holdAlt(true);
        PostMessageW(kelvor.Main(), WM_SYSCHAR, key, (1 << 29) | 1);
        HWND about = WaitForWindowTitled(pid, L"#32770", L"About");
        holdAlt(false);
        ASSERT_NE(about, nullptr) << static_cast<char>(key);
        PostMessageW(about, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }));
    }
    AttachThreadInput(GetCurrentThreadId(), kelvorThread, FALSE);
}

TEST(Settings, OkSavesBothFieldsAndRestartsTheProxyWithThem)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), kelvor.Program() + L"cache");
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"200");
    EXPECT_FALSE(Exists(kelvor.Program() + L"kelvor.ini"));

    std::wstring typed = kelvor.Dir() / L"other cache";
    // The proxy does not make its cache folder.
    MakeDirs(typed);
    Type(settings, IDC_CACHE_DIR, typed);
    Type(settings, IDC_CACHE_SIZE, L"300");
    ASSERT_TRUE(Click(kelvor, settings, IDOK));

    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"300");
    EXPECT_EQ(IniValue(kelvor, L"cache dir"), typed);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    std::vector<ProxyRecord> records = kelvor.Records();
    EXPECT_FALSE(ProcessAlive(records[0].Pid));
    // The new proxy keeps its cache in the typed folder.
    EXPECT_TRUE(WaitFor([&] { return Exists(typed + L"\\" + ProxyFile("http://example.com/")); }));

    settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), typed);
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"300");
    ASSERT_TRUE(Click(kelvor, settings, IDCANCEL));
}

namespace {

// Answers the message box that kelvor shows over dialog, and returns its text.
std::wstring AnswerBoxOver(RunningKelvor& kelvor, HWND dialog)
{
    HWND box = WaitForWindowTitled(kelvor.Process().Id(), L"#32770", L"kelvor");
    if (!box)
        return L"(no message box)";
    WaitFor([&] { return !StaticTexts(box).empty(); }, 5000);
    std::wstring text = StaticTexts(box);
    if (GetWindow(box, GW_OWNER) != dialog)
        text += L" (not over the dialog)";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return !IsWindow(box); }, 5000);
    return text;
}

}  // namespace

TEST(Settings, SizesThatAreNoWholeNumberAreRefusedAndTheDialogStaysOpen)
{
    RunningKelvor kelvor("[kelvor]\r\ncache size=250\r\n");
    ASSERT_TRUE(kelvor.Ready());
    std::wstring cacheDir = kelvor.Program() + L"cache";

    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"250");
    for (const wchar_t* size : {L"big", L"300 MB", L"99999999999", L"-99999999999", L""}) {
        Type(settings, IDC_CACHE_SIZE, size);
        Press(settings, IDOK);
        EXPECT_EQ(AnswerBoxOver(kelvor, settings), L"The cache size must be a whole number of megabytes.")
            << Narrow(size);
        ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
        EXPECT_TRUE(IsWindow(settings)) << Narrow(size);
        EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), size);
    }
    // An empty folder field keeps the folder there was.
    Type(settings, IDC_CACHE_SIZE, L"260");
    Type(settings, IDC_CACHE_DIR, L"");
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"260");
    EXPECT_EQ(IniValue(kelvor, L"cache dir"), cacheDir);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    EXPECT_EQ(kelvor.Records()[1].CommandLine, kelvor.Records()[0].CommandLine);
}

TEST(Settings, AFolderThatHoldsTheProgramOrADriveIsRefusedAndTheDialogStaysOpen)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    std::wstring program = kelvor.Program().substr(0, kelvor.Program().size() - 1);

    struct Refused {
        std::wstring Typed;
        std::wstring Text;
    };
    const std::wstring other = L" kelvor deletes files only in a folder of the cache's own. Please choose another folder.";
    auto refuse = [&](const std::wstring& typed, const std::wstring& text) {
        Type(settings, IDC_CACHE_DIR, typed);
        Press(settings, IDOK);
        EXPECT_EQ(AnswerBoxOver(kelvor, settings), text);
        ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
        EXPECT_TRUE(IsWindow(settings));
        EXPECT_EQ(Field(settings, IDC_CACHE_DIR), typed);
    };
    // A folder inside the Windows folder, too.
    wchar_t windows[MAX_PATH] = L"";
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring system = std::wstring(windows) + L"\\system32";
    for (const Refused& refused :
         {Refused{system, L"The cache folder " + system + L" lies inside " + windows + L"." + other},
          Refused{L".", L"The cache folder . (" + program + L") is or contains " + program + L"." + other},
          Refused{kelvor.Dir().Path(), L"The cache folder " + kelvor.Dir().Path() + L" is or contains " + program + L"." + other},
          Refused{L"C:\\", L"The cache folder C:\\ is the root of a drive." + other}})
        refuse(refused.Typed, refused.Text);
    // The program folder by a second drive letter.
    {
        ScopedDriveLetter drive(kelvor.Dir().Path());
        ASSERT_TRUE(drive.Made());
        std::wstring byLetter = drive.Root() + L"kelvor";
        refuse(byLetter, L"The cache folder " + byLetter + L" is or contains " + program + L"." + other);
    }
    ASSERT_TRUE(Click(kelvor, settings, IDCANCEL));
    EXPECT_FALSE(Exists(kelvor.Program() + L"kelvor.ini"));
    EXPECT_EQ(kelvor.Records().size(), 1u);
}

TEST(Settings, AFailedSaveIsReportedAndWhatWasTypedStaysInTheDialog)
{
    RunningKelvor kelvor("[kelvor]\r\ncache size=250\r\n");
    ASSERT_TRUE(kelvor.Ready());
    std::wstring ini = kelvor.Program() + L"kelvor.ini";
    // Another program holds the file and shares it with nobody.
    HANDLE held = CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    std::wstring typed = kelvor.Dir() / L"typed cache";
    Type(settings, IDC_CACHE_DIR, typed);
    Type(settings, IDC_CACHE_SIZE, L"300");
    Press(settings, IDOK);
    std::wstring text = AnswerBoxOver(kelvor, settings);
    EXPECT_EQ(text.find(L"The settings could not be saved to " + ini + L": "), 0u) << Narrow(text);
    EXPECT_NE(text.find(L"(32)"), std::wstring::npos) << Narrow(text);
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_TRUE(IsWindow(settings));
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), typed);
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"300");
    EXPECT_EQ(kelvor.Records().size(), 1u);

    // Once the file is free, the same OK saves what was typed.
    CloseHandle(held);
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"300");
    EXPECT_EQ(IniValue(kelvor, L"cache dir"), typed);
}

TEST(Settings, AFolderNameInAnyScriptSurvivesASaveAndTheNextStart)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    std::wstring typed = kelvor.Dir() / L"\u041a\u044d\u0448 \u7f13\u5b58";
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    Type(settings, IDC_CACHE_DIR, typed);
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    // The proxy, which reads its arguments in the ANSI code page, found the folder.
    EXPECT_TRUE(WaitFor([&] { return Exists(typed + L"\\" + ProxyFile("http://example.com/")); })) << Narrow(kelvor.Records()[1].CommandLine);

    // Started again in the same folder, kelvor reads the name back whole.
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    Child again(kelvor.Program() + L"kelvor.exe", L"", kelvor.Dir().Path());
    HWND main = WaitForMainWindow(again.Id());
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_COMMAND, CMD_SETTINGS, 0);
    settings = WaitForWindowTitled(again.Id(), L"#32770", L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), typed);
    Press(settings, IDCANCEL);
    PostMessageW(main, WM_COMMAND, CMD_EXIT, 0);
    EXPECT_TRUE(again.WaitExit(15000));
}

TEST(Settings, QuotesArePastedAwayAndVariablesAreKeptAsTypedAndUsedPutIn)
{
    TempDir shared;
    ScopedEnv variable(L"KELVOR_TEST", shared.Path());
    RunningKelvor kelvor("[kelvor]\r\ncache dir=%KELVOR_TEST%\\cache\r\n");
    ASSERT_TRUE(kelvor.Ready());
    // The proxy was given the folder the variable names, and fills it.
    EXPECT_TRUE(WaitFor([&] { return Exists(shared / (L"cache\\" + ProxyFile("http://example.com/"))); }))
        << Narrow(kelvor.Records()[0].CommandLine);

    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), L"%KELVOR_TEST%\\cache");
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_EQ(IniValue(kelvor, L"cache dir"), L"%KELVOR_TEST%\\cache");
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    EXPECT_EQ(kelvor.Records()[1].CommandLine, kelvor.Records()[0].CommandLine);

    // A path as Explorer's "Copy as path" gives it.
    std::wstring pasted = shared / L"pasted cache";
    settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    Type(settings, IDC_CACHE_DIR, L"\"" + pasted + L"\"");
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_EQ(IniValue(kelvor, L"cache dir"), pasted);
    EXPECT_TRUE(WaitFor([&] { return Exists(pasted + L"\\" + ProxyFile("http://example.com/")); }));
    EXPECT_FALSE(Exists(kelvor.Program() + L"\"" + pasted));
}

TEST(Settings, ExitAndRestartShowTheOpenDialogInsteadOfRunning)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    Type(settings, IDC_CACHE_SIZE, L"300");
    for (UINT command : {CMD_RESTART, CMD_EXIT}) {
        SetForegroundWindow(GetDesktopWindow());
        DWORD_PTR result = 0;
        ASSERT_NE(SendMessageTimeoutW(kelvor.Main(), WM_COMMAND, command, 0, SMTO_ABORTIFHUNG, 15000, &result), 0);
        EXPECT_EQ(GetForegroundWindow(), settings) << command;
    }
    EXPECT_TRUE(kelvor.Process().Running());
    EXPECT_TRUE(IsWindow(settings));
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"300");
    EXPECT_EQ(kelvor.Records().size(), 1u);

    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"300");
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    EXPECT_TRUE(kelvor.Process().WaitExit(15000));
}

TEST(Settings, CancelChangesNothing)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());

    for (bool byKey : {false, true}) {
        HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
        ASSERT_NE(settings, nullptr);
        EXPECT_EQ(Field(settings, IDC_CACHE_DIR), kelvor.Program() + L"cache");
        EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"200");
        Type(settings, IDC_CACHE_DIR, kelvor.Dir() / L"elsewhere");
        Type(settings, IDC_CACHE_SIZE, L"1");
        if (byKey) {
            PressKey(settings, VK_ESCAPE);
            ASSERT_TRUE(WaitFor([&] { return !IsWindow(settings); }));
            ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
        } else {
            ASSERT_TRUE(Click(kelvor, settings, IDCANCEL));
        }
    }
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Field(settings, IDC_CACHE_DIR), kelvor.Program() + L"cache");
    EXPECT_EQ(Field(settings, IDC_CACHE_SIZE), L"200");
    ASSERT_TRUE(Click(kelvor, settings, IDCANCEL));

    EXPECT_FALSE(Exists(kelvor.Program() + L"kelvor.ini"));
    EXPECT_FALSE(Exists(kelvor.Dir() / L"elsewhere"));
    EXPECT_EQ(kelvor.Records().size(), 1u);
    EXPECT_TRUE(ProcessAlive(kelvor.Records()[0].Pid));
}

TEST(Settings, OnlyAnOkThatChangesTheSizeTrimsTheCacheAtOnce)
{
    TempDir cache;
    RunningKelvor kelvor("[kelvor]\r\ncache dir=" + Narrow(cache.Path()) + "\r\ncache size=3\r\n");
    ASSERT_TRUE(kelvor.Ready());
    // The tip tells the cache's use once the start-up pass is over; the files come after it.
    HWND tip = GetDlgItem(kelvor.Main(), IDC_TIP);
    ASSERT_TRUE(WaitFor([&] { return WindowText(tip).find(L"cache: ") != std::wstring::npos; })) << Narrow(WindowText(tip));
    // 4.5 MB in three files, each read last an hour after the one before, long ago: over the
    // 3 MB limit, so any pass from here on deletes.
    const int64_t fileSize = 3 * 512 * 1024;
    for (int hour = 0; hour < 3; ++hour) {
        MakeCacheFile(cache / ProxyFile("http://site/old" + std::to_string(hour)), fileSize, LongAgo(hour));
    }
    auto remaining = [&] {
        std::wstring present;
        for (int hour = 0; hour < 3; ++hour)
            if (Exists(cache / ProxyFile("http://site/old" + std::to_string(hour))))
                present += std::to_wstring(hour);
        return present;
    };

    // An OK with the same size, and a smaller size that is cancelled: no pass.
    for (const wchar_t* size : {L"3", L"1"}) {
        HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
        ASSERT_NE(settings, nullptr);
        Type(settings, IDC_CACHE_SIZE, size);
        ASSERT_TRUE(Click(kelvor, settings, std::wstring(size) == L"3" ? IDOK : IDCANCEL));
    }
    // Nothing announces a pass that should not start: give one the time to delete.
    Sleep(500);
    EXPECT_EQ(remaining(), L"012");

    // 2 MB: the two files read longest ago go.
    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    Type(settings, IDC_CACHE_SIZE, L"2");
    ASSERT_TRUE(Click(kelvor, settings, IDOK));
    EXPECT_TRUE(WaitFor([&] { return remaining() == L"2"; }));
    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"2");
}

TEST(Settings, AFailedRestartIsReportedOverTheDialogAndTheProgramGoesOn)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    std::wstring proxy = kelvor.Program() + L"polipo.exe";
    std::wstring aside = kelvor.Program() + L"aside.exe";
    // A running program can be renamed, not deleted.
    ASSERT_TRUE(MoveFileW(proxy.c_str(), aside.c_str()));

    HWND settings = OpenDialog(kelvor, CMD_SETTINGS, L"Settings");
    ASSERT_NE(settings, nullptr);
    Type(settings, IDC_CACHE_SIZE, L"300");
    Press(settings, IDOK);
    HWND box = WaitForWindowTitled(kelvor.Process().Id(), L"#32770", L"kelvor");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), settings);
    ASSERT_TRUE(WaitFor([&] { return !StaticTexts(box).empty(); }));
    EXPECT_EQ(StaticTexts(box), L"Failed to boot polipo (2)");
    PostMessageW(box, WM_COMMAND, IDOK, 0);

    EXPECT_TRUE(WaitFor([&] { return !IsWindow(settings); }));
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_TRUE(kelvor.Process().Running());
    EXPECT_TRUE(IsWindow(kelvor.Main()));
    EXPECT_FALSE(ProcessAlive(kelvor.Records()[0].Pid));
    EXPECT_EQ(IniValue(kelvor, L"cache size"), L"300");

    // With the proxy back in place, Restart brings it up again.
    ASSERT_TRUE(MoveFileW(aside.c_str(), proxy.c_str()));
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    EXPECT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    EXPECT_TRUE(kelvor.Process().Running());
}

TEST(RunningDialogs, HaveTheirControlsInOrderAndEnterMeansOk)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());

    struct Control {
        int Id;
        const wchar_t* Class;
        const wchar_t* Text;  // nullptr: the edit fields, which show the settings
    };
    struct Expected {
        UINT Command;
        const wchar_t* Caption;
        std::vector<Control> Controls;
        std::vector<int> TabOrder;
        int CloseWith;
    };
    const int none = 0xFFFF;
    for (const Expected& expected :
         {Expected{CMD_SETTINGS, L"Settings",
                   {{IDC_CACHE_DIR, L"Edit", nullptr},
                    {IDC_BROWSE, L"Button", L"..."},
                    {IDCANCEL, L"Button", L"Cancel"},
                    {IDOK, L"Button", L"OK"},
                    {none, L"Button", L"Cache directory"},
                    {none, L"Button", L"Cache size"},
                    {IDC_CACHE_SIZE, L"Edit", nullptr},
                    {none, L"Static", L"MB"}},
                   {IDC_CACHE_DIR, IDC_BROWSE, IDCANCEL, IDOK, IDC_CACHE_SIZE}, IDCANCEL},
          Expected{CMD_ABOUT, L"About",
                   {{IDC_ABOUT_ICON, L"Static", nullptr},
                    {none, L"Static", L"kelvor version 0.05"},
                    {none, L"Static", L"Copyright (C) 2026 the kelvor developers."},
                    {none, L"Static", L"Icon drawn in code by the kelvor developers."},
                    {none, L"Static", L"polipo 1.0.4"},
                    {none, L"Static", L"Copyright (C) its authors; free software, MIT licence."},
                    {IDOK, L"Button", L"OK"}},
                   {IDOK}, IDOK}}) {
        HWND dialog = OpenDialog(kelvor, expected.Command, expected.Caption);
        ASSERT_NE(dialog, nullptr) << Narrow(expected.Caption);
        std::vector<HWND> children = Children(dialog);
        ASSERT_EQ(children.size(), expected.Controls.size()) << Narrow(expected.Caption);
        for (size_t i = 0; i < children.size(); ++i) {
            const Control& control = expected.Controls[i];
            EXPECT_EQ(static_cast<WORD>(GetDlgCtrlID(children[i])), static_cast<WORD>(control.Id)) << i;
            EXPECT_EQ(_wcsicmp(ClassOf(children[i]).c_str(), control.Class), 0) << Narrow(ClassOf(children[i])) << " " << i;
            EXPECT_TRUE(IsWindowVisible(children[i])) << i;
            if (control.Text) {
                EXPECT_EQ(WindowText(children[i]), control.Text) << i;
            }
        }
        EXPECT_EQ(TabOrder(dialog), expected.TabOrder) << Narrow(expected.Caption);
        DWORD_PTR defaultId = 0;
        SendMessageTimeoutW(dialog, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 5000, &defaultId);
        EXPECT_EQ(LOWORD(defaultId), IDOK) << Narrow(expected.Caption);
        ASSERT_TRUE(Click(kelvor, dialog, expected.CloseWith));
    }
}

TEST_F(KelvorResources, EveryControlFitsItsDialogAndEveryLabelItsControl)
{
    ASSERT_NE(module, nullptr);
    for (UINT id : {IDD_SETTINGS, IDD_ABOUT}) {
        DialogTemplate dialogTemplate = ReadDialogTemplate(module, id);
        ASSERT_FALSE(dialogTemplate.Items.empty()) << id;
        // The same template laid out here, by the same dialog manager, with the same font.
        HWND dialog = CreateDialogIndirectParamW(
            module, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.Data), nullptr, Inert, 0);
        ASSERT_NE(dialog, nullptr) << id;
        RECT client;
        GetClientRect(dialog, &client);
        HDC dc = GetDC(dialog);
        HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
        TEXTMETRICW metrics;
        GetTextMetricsW(dc, &metrics);

        std::vector<HWND> children = Children(dialog);
        std::vector<RECT> boxes;
        for (size_t i = 0; i < children.size(); ++i) {
            const TemplateItem& item = dialogTemplate.Items[i];
            RECT rect;
            GetWindowRect(children[i], &rect);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
            boxes.push_back(rect);
            EXPECT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= client.right &&
                        rect.bottom <= client.bottom)
                << id << " control " << i;

            bool groupBox = IsClass(item, L"Button") && (item.Style & 0xF) == BS_GROUPBOX;
            bool icon = IsClass(item, L"Static") && (item.Style & SS_TYPEMASK) == SS_ICON;
            EXPECT_GE(rect.bottom - rect.top, metrics.tmHeight + (IsClass(item, L"Edit") ? 2 : 0))
                << id << " control " << i;
            if (item.Text.empty() || icon)
                continue;
            RECT text{0, 0, 0, 0};
            DrawTextW(dc, item.Text.c_str(), -1, &text, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
            // A push button needs room for its edges, a group box for the gap before its caption.
            int margin = IsClass(item, L"Static") ? 0 : groupBox ? 2 * metrics.tmAveCharWidth : 6;
            EXPECT_LE(text.right + margin, rect.right - rect.left)
                << id << " \"" << Narrow(item.Text) << "\"";
        }
        // Controls may share room only with the group box that frames them.
        for (size_t i = 0; i < boxes.size(); ++i) {
            for (size_t j = i + 1; j < boxes.size(); ++j) {
                RECT overlap;
                if (!IntersectRect(&overlap, &boxes[i], &boxes[j]))
                    continue;
                bool framed = false;
                for (size_t outer : {i, j}) {
                    const TemplateItem& item = dialogTemplate.Items[outer];
                    RECT inner = boxes[outer == i ? j : i];
                    RECT both;
                    UnionRect(&both, &boxes[outer], &inner);
                    framed |= IsClass(item, L"Button") && (item.Style & 0xF) == BS_GROUPBOX &&
                              EqualRect(&both, &boxes[outer]);
                }
                EXPECT_TRUE(framed) << id << " controls " << i << " and " << j;
            }
        }
        SelectObject(dc, oldFont);
        ReleaseDC(dialog, dc);
        DestroyWindow(dialog);
    }
}
