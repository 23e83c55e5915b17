// "Use as system proxy": the user's own proxy settings in this Wine prefix, pointed at kelvor's
// proxy and given back, read the way a browser's network stack reads them (InternetQueryOptionW)
// and as the registry keeps them. Wine's WinINet keeps the proxy's on/off flag and its server
// per connection; it drops the bypass list and the automatic-configuration address when they are
// set (it reads the bypass list from ProxyOverride, never the address), so those two are checked
// in the saved file and in the registry, where they must come back untouched.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "app/resources/resource.h"
#include "app/control/system_proxy_switch.h"
#include "proxy/system_proxy_rules.h"
#include "settings/proxy_restore.h"
#include "tests/support/support.h"

namespace {

constexpr wchar_t INTERNET_SETTINGS[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* VALUES[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"};
constexpr wchar_t KELVORS[] = L"127.0.0.1:8123";

std::wstring Text(LPWSTR text)
{
    std::wstring copy = text ? text : L"(none)";
    if (text)
        GlobalFree(text);
    return copy;
}

// What a browser reads of the LAN settings, then what the registry holds.
std::wstring Seen()
{
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof(list);
    list.dwOptionCount = 4;
    list.pOptions = options;
    DWORD size = sizeof(list);
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size))
        return L"(query failed)";
    std::wstring seen = L"flags " + std::to_wstring(options[0].Value.dwValue) + L", " +
                        Text(options[1].Value.pszValue) + L", " + Text(options[2].Value.pszValue) + L", " +
                        Text(options[3].Value.pszValue) + L" | registry:";
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, KEY_QUERY_VALUE, &key);
    for (const wchar_t* name : VALUES) {
        BYTE data[2048] = {};
        DWORD type = 0;
        DWORD bytes = sizeof(data) - sizeof(wchar_t);
        if (!key || RegQueryValueExW(key, name, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
            seen += L" (none)";
        else
            seen += L" " + (type == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data))
                                              : std::wstring(reinterpret_cast<wchar_t*>(data)));
    }
    if (key)
        RegCloseKey(key);
    return seen;
}

bool NamesKelvor()
{
    return Seen().find(std::wstring(L", ") + KELVORS + L",") != std::wstring::npos;
}

void SetValue(const wchar_t* name, const std::optional<std::wstring>& text, DWORD number = 0)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (!text && number == 0)
        RegDeleteValueW(key, name);
    else if (text)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                       static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
    else
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    RegCloseKey(key);
}

// The prefix's Internet settings are the user's own for the test: a manual proxy with a bypass
// list and an automatic-configuration address. Whatever the prefix held goes back afterwards.
class UsersOwnSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr, &key, nullptr);
        for (const wchar_t* name : VALUES) {
            Kept kept{name, 0, {}};
            DWORD bytes = 0;
            if (RegQueryValueExW(key, name, nullptr, &kept.Type, nullptr, &bytes) == ERROR_SUCCESS) {
                kept.Data.resize(bytes);
                RegQueryValueExW(key, name, nullptr, &kept.Type, kept.Data.data(), &bytes);
            }
            kept_.push_back(kept);
        }
        RegCloseKey(key);
        SetValue(L"ProxyEnable", std::nullopt, 1);
        SetValue(L"ProxyServer", L"user.example:3128");
        SetValue(L"ProxyOverride", L"*.intranet;<local>");
        SetValue(L"AutoConfigURL", L"http://config.example/proxy.pac");
        own_ = Seen();
    }

    void TearDown() override
    {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        for (const Kept& kept : kept_) {
            if (kept.Data.empty())
                RegDeleteValueW(key, kept.Name);
            else
                RegSetValueExW(key, kept.Name, 0, kept.Type, kept.Data.data(), static_cast<DWORD>(kept.Data.size()));
        }
        RegCloseKey(key);
    }

    // The menu item, sent so that all it does is done when the call returns.
    static bool Toggle(RunningKelvor& kelvor)
    {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(kelvor.Main(), WM_COMMAND, CMD_SYSTEM_PROXY, 0, SMTO_ABORTIFHUNG, 10000, &result) != 0;
    }

    // kelvor started and told to use its proxy as the system's.
    void TurnOn(RunningKelvor& kelvor)
    {
        ASSERT_TRUE(kelvor.Ready());
        ASSERT_TRUE(Toggle(kelvor));
        ASSERT_TRUE(NamesKelvor()) << Narrow(Seen());
        // Wine's WinINet never changes these two, so only the saved file shows that they are kept.
        SavedProxySettings saved;
        ASSERT_EQ(LoadProxyRestore(kelvor.Program() + PROXY_RESTORE_FILE, saved), RestoreFile::Usable);
        ASSERT_EQ(saved.Connections.size(), 1u);
        EXPECT_EQ(saved.Connections[0].Bypass.value_or(L"(none)"), L"*.intranet;<local>");
        // Wine's WinINet reports no automatic-configuration address at all: saved is what it reports.
        EXPECT_NE(own_.find(L", " + saved.Connections[0].AutoConfigUrl.value_or(L"(none)") + L" | registry:"),
                  std::wstring::npos)
            << Narrow(own_);
        EXPECT_EQ(GetPrivateProfileIntW(L"kelvor", L"system proxy", 0, (kelvor.Program() + L"kelvor.ini").c_str()), 1u);
    }

    struct Kept {
        const wchar_t* Name;
        DWORD Type;
        std::vector<BYTE> Data;
    };
    std::vector<Kept> kept_;
    std::wstring own_;
};

void KillKelvorAndItsProxy(RunningKelvor& kelvor)
{
    TerminateProcess(kelvor.Process().Handle(), 9);
    kelvor.Process().WaitExit(5000);
    Child proxy(kelvor.Records().back().Pid);
    TerminateProcess(proxy.Handle(), 9);
    proxy.WaitExit(5000);
}

// kelvor started again in the same folder after it was killed: once its proxy runs, the system
// uses that proxy again with the user's settings still saved from before, or has the user's
// settings back. Then its Exit.
void StartAgainAndExit(RunningKelvor& kelvor, bool kelvorsAgain)
{
    // Its proxy is recorded with the first one's, so that it is ended with them whatever happens.
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", kelvor.Dir() / L"proxy-starts.txt");
    Child again(kelvor.Program() + L"kelvor.exe", L"", kelvor.Dir().Path());
    HWND main = WaitForMainWindow(again.Id());
    ASSERT_NE(main, nullptr);
    // A command is taken from the queue only once the start, the proxy's included, is over.
    PostMessageW(main, WM_COMMAND, CMD_ABOUT, 0);
    HWND about = WaitForWindowTitled(again.Id(), L"#32770", L"About");
    ASSERT_NE(about, nullptr);
    PostMessageW(about, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(NamesKelvor(), kelvorsAgain) << Narrow(Seen());
    SavedProxySettings saved;
    ASSERT_EQ(LoadProxyRestore(kelvor.Program() + PROXY_RESTORE_FILE, saved) == RestoreFile::Usable, kelvorsAgain);
    if (kelvorsAgain) {
        ASSERT_EQ(saved.Connections.size(), 1u);
        EXPECT_EQ(saved.Connections[0].Server.value_or(L""), L"user.example:3128");
    }
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }));
    PostMessageW(main, WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(again.WaitExit(15000));
}

}  // namespace

TEST(SystemProxyRules, TheUsersBypassEntriesAreKeptAndTheLocalNetworksAdded)
{
    std::wstring local = L"<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
                         L"172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
                         L"172.31.*;192.168.*";
    EXPECT_EQ(BypassWithLocalAddresses(std::nullopt), local);
    EXPECT_EQ(BypassWithLocalAddresses(L""), local);
    EXPECT_EQ(BypassWithLocalAddresses(L" *.intranet ;; 10.* ;LOCALHOST"),
              L"*.intranet;10.*;LOCALHOST;<local>;127.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
              L"172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;172.31.*;"
              L"192.168.*");
}

TEST(SystemProxyRules, OnlyConnectionsThatStillNameKelvorsProxyTakeTheSavedSettings)
{
    ConnectionProxy savedLan{L"", PROXY_TYPE_PROXY, L"user.example:3128", L"<local>", std::nullopt};
    ConnectionProxy savedVpn{L"Office VPN", PROXY_TYPE_DIRECT, std::nullopt, std::nullopt, L"http://pac/"};
    ConnectionProxy lanNow = PointedAt(savedLan, KELVORS);
    ConnectionProxy vpnNow{L"Office VPN", PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"changed.example:80", L"", std::nullopt};
    ConnectionProxy newNow{L"New", PROXY_TYPE_DIRECT, std::nullopt, std::nullopt, std::nullopt};
    std::vector<ConnectionProxy> own = OwnSettings({lanNow, vpnNow, newNow}, {savedLan, savedVpn}, KELVORS);
    ASSERT_EQ(own.size(), 3u);
    EXPECT_TRUE(own[0] == savedLan);
    EXPECT_TRUE(own[1] == vpnNow);
    EXPECT_TRUE(own[2] == newNow);
    EXPECT_FALSE(NamesAddress(ConnectionProxy{L"", PROXY_TYPE_DIRECT, KELVORS, {}, {}}, KELVORS));
}

TEST(SystemProxyRules, TheSavedFileGivesBackEveryTextAsItWasAndUnsetTextsUnset)
{
    TempDir dir;
    SavedProxySettings saved{KELVORS,
                             {{L"", PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L" user.example:3128 ", L"\"*.a\";<local>", L""},
                              {L"Office \u00c9 VPN", PROXY_TYPE_DIRECT, std::nullopt, std::nullopt, L"http://pac/x.pac"}}};
    DWORD error = 0;
    ASSERT_TRUE(SaveProxyRestore(dir / PROXY_RESTORE_FILE, saved, error)) << error;
    EXPECT_EQ(ReadFileBytes(dir / PROXY_RESTORE_FILE).substr(0, 2), "\xFF\xFE");
    EXPECT_FALSE(Exists(dir / L"proxy-restore.ini.new"));
    SavedProxySettings loaded;
    ASSERT_EQ(LoadProxyRestore(dir / PROXY_RESTORE_FILE, loaded), RestoreFile::Usable);
    EXPECT_EQ(loaded.Address, saved.Address);
    ASSERT_EQ(loaded.Connections.size(), 2u);
    EXPECT_TRUE(loaded.Connections[0] == saved.Connections[0]);
    EXPECT_TRUE(loaded.Connections[1] == saved.Connections[1]);

    // A folder that takes no file: nothing is written, and the reason comes back.
    EXPECT_FALSE(SaveProxyRestore(dir / L"missing\\proxy-restore.ini", saved, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(LoadProxyRestore(dir / L"missing\\proxy-restore.ini", loaded), RestoreFile::Absent);
}

TEST_F(UsersOwnSettings, EveryWayKelvorEndsGivesTheUsersOwnSettingsBackExactly)
{
    struct Way {
        const char* Name;
        void (*End)(RunningKelvor&);
    };
    const Way ways[] = {
        {"turned off", [](RunningKelvor& kelvor) { ASSERT_TRUE(Toggle(kelvor)); }},
        {"Exit",
         [](RunningKelvor& kelvor) {
             PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
             kelvor.Process().WaitExit(15000);
         }},
        {"logoff",
         [](RunningKelvor& kelvor) {
             DWORD_PTR answer = 0;
             SendMessageTimeoutW(kelvor.Main(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer);
         }},
        {"proxy given up, then Restart and Exit",
         [](RunningKelvor& kelvor) {
             // Without its config the proxy ends at once, and three such ends give it up.
             std::wstring config = kelvor.Program() + L"config";
             DeleteFileW(config.c_str());
             Child proxy(kelvor.Records()[0].Pid);
             TerminateProcess(proxy.Handle(), 9);
             ASSERT_TRUE(WaitFor([&] { return !NamesKelvor(); }, 15000));
             EXPECT_FALSE(Exists(kelvor.Program() + PROXY_RESTORE_FILE));
             // Running again, it is the system's proxy again.
             WriteFileBytes(config, "");
             PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
             ASSERT_TRUE(WaitFor(NamesKelvor)) << Narrow(Seen());
             PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
             kelvor.Process().WaitExit(15000);
         }},
        {"killed, started again, Exit",
         [](RunningKelvor& kelvor) {
             KillKelvorAndItsProxy(kelvor);
             EXPECT_TRUE(NamesKelvor());
             StartAgainAndExit(kelvor, true);
         }},
        {"killed, started again with the choice off",
         [](RunningKelvor& kelvor) {
             KillKelvorAndItsProxy(kelvor);
             WriteFileBytes(kelvor.Program() + L"kelvor.ini", "[kelvor]\r\nsystem proxy=0\r\n");
             StartAgainAndExit(kelvor, false);
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.Name);
        RunningKelvor kelvor;
        TurnOn(kelvor);
        way.End(kelvor);
        EXPECT_TRUE(WaitFor([&] { return Seen() == own_; })) << Narrow(Seen()) << "\n" << Narrow(own_);
        EXPECT_FALSE(Exists(kelvor.Program() + PROXY_RESTORE_FILE));
    }
}

TEST_F(UsersOwnSettings, AConnectionTheUserChangedMeanwhileIsLeftAsTheUserSetIt)
{
    RunningKelvor kelvor;
    TurnOn(kelvor);
    SetValue(L"ProxyServer", L"other.example:8080");
    std::wstring users = Seen();
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_EXIT, 0);
    ASSERT_TRUE(kelvor.Process().WaitExit(15000));
    EXPECT_EQ(Seen(), users);
    EXPECT_FALSE(Exists(kelvor.Program() + PROXY_RESTORE_FILE));
}

TEST_F(UsersOwnSettings, AProgramFolderThatTakesNoFileRefusesAndChangesNothing)
{
    RunningKelvor kelvor;
    ASSERT_TRUE(kelvor.Ready());
    // Wine runs as root here, whom no file permission stops: the folder is made immutable.
    std::wstring unixFolder = UnixPath(kelvor.Program());
    ASSERT_FALSE(unixFolder.empty());
    // Wine starts a Unix program when it is named in the command line alone, but gives no handle
    // to wait on: what it did is seen in the folder.
    auto chattr = [&](const wchar_t* change) {
        if (!StartLinuxProgram(L"/usr/bin/chattr", std::wstring(change) + L" \"" + unixFolder + L"\"", L"C:\\"))
            return false;
        bool wanted = change[0] == L'-';
        return WaitFor([&] {
            HANDLE probe = CreateFileW((kelvor.Program() + L"probe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (probe != INVALID_HANDLE_VALUE)
                CloseHandle(probe);
            return (probe != INVALID_HANDLE_VALUE) == wanted;
        });
    };
    // Undone whatever happens, or the folder outlives the test.
    struct Undo {
        std::function<bool(const wchar_t*)> Chattr;
        ~Undo() { Chattr(L"-i"); }
    } undo{chattr};
    if (!chattr(L"+i"))
        GTEST_SKIP() << "chattr cannot make " << Narrow(unixFolder) << " immutable here";

    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_SYSTEM_PROXY, 0);
    std::wstring box = PressOkOnMessageBox(kelvor.Process().Id());
    EXPECT_EQ(box.find(L"kelvor: Your own proxy settings could not be saved to " + kelvor.Program() +
                       L"proxy-restore.ini, so kelvor changed nothing: "),
              0u)
        << Narrow(box);
    EXPECT_EQ(Seen(), own_);
    EXPECT_FALSE(Exists(kelvor.Program() + PROXY_RESTORE_FILE));
}

TEST_F(UsersOwnSettings, FollowsTheProxyToAnotherPortAndIsTurnedOffWhileItIsGivenUp)
{
    RunningKelvor kelvor;
    TurnOn(kelvor);
    std::wstring config = kelvor.Program() + L"config";
    auto names = [](const wchar_t* address) { return Seen().find(std::wstring(L", ") + address + L",") != std::wstring::npos; };

    // The user moves the proxy to another port: once it runs again, the system names that one.
    WriteFileBytes(config, "proxyPort = 8124\r\n");
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    ASSERT_TRUE(WaitFor([&] { return names(L"127.0.0.1:8124"); })) << Narrow(Seen());

    // Given up, nothing is pointed at it, and the choice still shows, and goes, in the menu.
    DeleteFileW(config.c_str());
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() == 2; }));
    Child proxy(kelvor.Records()[1].Pid);
    TerminateProcess(proxy.Handle(), 9);
    ASSERT_TRUE(WaitFor([&] { return Seen() == own_; }, 15000)) << Narrow(Seen());
    ASSERT_TRUE(Toggle(kelvor));
    EXPECT_EQ(GetPrivateProfileIntW(L"kelvor", L"system proxy", 1, (kelvor.Program() + L"kelvor.ini").c_str()), 0u);
    WriteFileBytes(config, "");
    PostMessageW(kelvor.Main(), WM_COMMAND, CMD_RESTART, 0);
    ASSERT_TRUE(WaitFor([&] { return kelvor.Records().size() >= 5; }));
    ASSERT_TRUE(WaitUntilIdle(kelvor.Main()));
    EXPECT_EQ(Seen(), own_);
}

namespace {

// The connections as the system would hold them, for the cases WinINet under Wine cannot show:
// dial-up entries, a list that cannot be had, a connection that refuses. Never kinder than
// WinINet: a name it does not hold can be neither read nor written.
struct HeldConnections {
    std::vector<ConnectionProxy> Held;
    bool ListFails = false;
    std::wstring Refuses;  // the one connection that refuses every change

    ConnectionStore Store()
    {
        return ConnectionStore{
            [this](std::vector<std::wstring>& names, DWORD& error) {
                names.clear();
                for (const ConnectionProxy& held : Held)
                    names.push_back(held.Connection);
                error = ERROR_FILE_NOT_FOUND;
                return !ListFails;
            },
            [this](const std::wstring& connection, ConnectionProxy& proxy, DWORD& error) {
                for (const ConnectionProxy& held : Held) {
                    if (held.Connection == connection) {
                        proxy = held;
                        return true;
                    }
                }
                error = ERROR_INVALID_PARAMETER;
                return false;
            },
            [this](const ConnectionProxy& proxy, DWORD& error) {
                for (ConnectionProxy& held : Held) {
                    if (held.Connection == proxy.Connection && proxy.Connection != Refuses) {
                        held = proxy;
                        return true;
                    }
                }
                error = ERROR_ACCESS_DENIED;
                return false;
            },
            [] {}};
    }
};

const ConnectionProxy LAN_OWN{L"", PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, L"user.example:3128",
                              L"*.intranet;<local>", L"http://config.example/proxy.pac"};
const ConnectionProxy VPN_OWN{L"Office VPN", PROXY_TYPE_DIRECT, std::nullopt, std::nullopt, L"http://pac/x.pac"};
const ConnectionProxy VPN_USERS{L"Office VPN", PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, L"other.example:80", L"", std::nullopt};
const wchar_t MOVED[] = L"127.0.0.1:8124";

std::string SavedText(const SavedProxySettings& saved)
{
    TempDir dir;
    DWORD error = 0;
    SaveProxyRestore(dir / PROXY_RESTORE_FILE, saved, error);
    return ReadFileBytes(dir / PROXY_RESTORE_FILE);
}

}  // namespace

TEST(SystemProxySwitch, TheSavedFileGoesOnlyOnceNothingIsLeftInItToGiveBack)
{
    const std::string both = SavedText({KELVORS, {LAN_OWN, VPN_OWN}});
    const std::vector<ConnectionProxy> kelvors = {PointedAt(LAN_OWN, KELVORS), PointedAt(VPN_OWN, KELVORS)};
    enum class Then { Gone, Unchanged, Saved };
    struct Case {
        const char* Name;
        std::optional<std::string> File;
        std::vector<ConnectionProxy> Before;
        bool ListFails;
        const wchar_t* Refuses;
        const wchar_t* PointAt;  // null: the give-back
        std::vector<ConnectionProxy> After;
        Then File_;
        SwitchFailure Failure;
    };
    const Case cases[] = {
        {"all given back", both, kelvors, false, L"-", nullptr, {LAN_OWN, VPN_OWN}, Then::Gone, SwitchFailure::None},
        {"a dial-up list that fails: each tried by name", both, kelvors, true, L"-", nullptr, {LAN_OWN, VPN_OWN},
         Then::Gone, SwitchFailure::None},
        {"an entry gone", both, {kelvors[0]}, false, L"-", nullptr, {LAN_OWN}, Then::Gone, SwitchFailure::None},
        {"an entry gone that the failed list cannot vouch for", both, {kelvors[0]}, true, L"-", nullptr, {LAN_OWN},
         Then::Unchanged, SwitchFailure::NotGivenBack},
        {"an entry changed by the user", both, {kelvors[0], VPN_USERS}, false, L"-", nullptr, {LAN_OWN, VPN_USERS},
         Then::Gone, SwitchFailure::None},
        {"an entry that refuses", both, kelvors, false, L"Office VPN", nullptr, {LAN_OWN, kelvors[1]}, Then::Unchanged,
         SwitchFailure::NotGivenBack},
        {"an empty file", std::string(), kelvors, false, L"-", nullptr, kelvors, Then::Unchanged, SwitchFailure::UnusableFile},
        {"a damaged file", "\xFF\xFE[kel", kelvors, false, L"-", nullptr, kelvors, Then::Unchanged,
         SwitchFailure::UnusableFile},
        {"flags that are no number",
         "[kelvor]\r\naddress=127.0.0.1:8123\r\n[connection 1]\r\nflags=3 or so\r\nproxy server=user.example:3128\r\n",
         kelvors, false, L"-", nullptr, kelvors, Then::Unchanged, SwitchFailure::UnusableFile},
        {"pointed at", std::nullopt, {LAN_OWN, VPN_OWN}, false, L"-", KELVORS, kelvors, Then::Saved, SwitchFailure::None},
        {"a refused connection, rolled back", std::nullopt, {LAN_OWN, VPN_OWN}, false, L"Office VPN", KELVORS,
         {LAN_OWN, VPN_OWN}, Then::Gone, SwitchFailure::Refused},
        {"a refused connection after a crash and a port change, rolled back", both, kelvors, false, L"Office VPN",
         MOVED, kelvors, Then::Unchanged, SwitchFailure::Refused},
        {"a dial-up list that fails when pointing", std::nullopt, {LAN_OWN, VPN_OWN}, true, L"-", KELVORS, {LAN_OWN, VPN_OWN},
         Then::Gone, SwitchFailure::NotListed},
        {"pointed at over a damaged file", "\xFF\xFE", {LAN_OWN, VPN_OWN}, false, L"-", KELVORS, {LAN_OWN, VPN_OWN},
         Then::Unchanged, SwitchFailure::UnusableFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        std::wstring file = dir / PROXY_RESTORE_FILE;
        if (c.File)
            WriteFileBytes(file, *c.File);
        HeldConnections system{c.Before, c.ListFails, c.Refuses};
        SwitchResult result = c.PointAt ? PointConnectionsAt(file, c.PointAt, system.Store())
                                        : GiveConnectionsBack(file, system.Store());
        EXPECT_EQ(result.Failure, c.Failure);
        ASSERT_EQ(system.Held.size(), c.After.size());
        for (size_t i = 0; i < c.After.size(); ++i)
            EXPECT_TRUE(system.Held[i] == c.After[i]) << i << ": " << Narrow(system.Held[i].Server.value_or(L"-"));
        EXPECT_EQ(Exists(file), c.File_ != Then::Gone);
        if (c.File_ == Then::Unchanged) {
            EXPECT_EQ(ReadFileBytes(file), c.File.value_or("(none)"));
        } else if (c.File_ == Then::Saved) {
            EXPECT_EQ(ReadFileBytes(file), both);
        }
        EXPECT_FALSE(Exists(file + L".new"));
    }
}

TEST(SystemProxySwitch, ARestoreFileIsUsableOnlyWithKelvorsAddressAndTheLanSettings)
{
    std::string many = "[kelvor]\r\naddress=127.0.0.1:8123\r\n";
    for (int i = 1; i <= 1025; ++i)
        many += "[connection " + std::to_string(i) + "]\r\nflags=1\r\n";
    const struct {
        const char* Name;
        std::string Text;
        RestoreFile Verdict;
    } cases[] = {
        {"kelvor's", "[kelvor]\r\naddress=127.0.0.1:8123\r\n[connection 1]\r\nflags=1\r\n", RestoreFile::Usable},
        {"no address", "[kelvor]\r\n[connection 1]\r\nflags=1\r\n", RestoreFile::Unusable},
        {"no LAN settings", "[kelvor]\r\naddress=127.0.0.1:8123\r\n[connection 1]\r\nflags=1\r\nname=VPN\r\n",
         RestoreFile::Unusable},
        {"cut before its connections", "[kelvor]\r\naddress=127.0.0.1:8123\r\n", RestoreFile::Unusable},
        {"flags past 32 bits", "[kelvor]\r\naddress=1:2\r\n[connection 1]\r\nflags=4294967296\r\n", RestoreFile::Unusable},
        {"negative flags", "[kelvor]\r\naddress=1:2\r\n[connection 1]\r\nflags=-1\r\n", RestoreFile::Unusable},
        {"more connections than anybody has", many, RestoreFile::Unusable},
    };
    TempDir dir;
    SavedProxySettings saved;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFileBytes(dir / PROXY_RESTORE_FILE, c.Text);
        EXPECT_EQ(LoadProxyRestore(dir / PROXY_RESTORE_FILE, saved), c.Verdict);
    }
    DeleteFileW((dir / PROXY_RESTORE_FILE).c_str());
    CreateDirectoryW((dir / PROXY_RESTORE_FILE).c_str(), nullptr);
    EXPECT_EQ(LoadProxyRestore(dir / PROXY_RESTORE_FILE, saved), RestoreFile::Unusable);
}

TEST_F(UsersOwnSettings, ADamagedRestoreFileLeftBehindIsKeptNamedAndNoConnectionChanges)
{
    TempDir dir;
    std::wstring program = MakeProgramFolder(dir / L"program");
    WriteFileBytes(program + L"kelvor.ini", "[kelvor]\r\nsystem proxy=1\r\n");
    const std::string damaged = "[kelvor]\r\naddress=127.0.0.1:8123\r\n[connection 1]\r\nflags=x\r\n";
    WriteFileBytes(program + PROXY_RESTORE_FILE, damaged);
    ScopedEnv recordTo(L"KELVOR_PROXY_RECORD", dir / L"record.txt");
    Child kelvor(program + L"kelvor.exe", L"", dir.Path());
    HWND main = WaitForTopWindow(kelvor.Id(), L"KELVOR");
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitForBalloon(program + PROXY_RESTORE_FILE + L" does not hold proxy settings"));
    // Nor does the menu item change a thing, and while its box is up it waits, as Restart and
    // Exit do: About, asked for after it, opens beside the one box.
    PostMessageW(main, WM_COMMAND, CMD_SYSTEM_PROXY, 0);
    ASSERT_NE(WaitForTopWindow(kelvor.Id(), L"#32770"), nullptr);
    PostMessageW(main, WM_COMMAND, CMD_SYSTEM_PROXY, 0);
    PostMessageW(main, WM_COMMAND, CMD_ABOUT, 0);
    HWND about = WaitForWindowTitled(kelvor.Id(), L"#32770", L"About");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(TopWindows(kelvor.Id(), L"#32770").size(), 2u);
    PostMessageW(about, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }));
    std::wstring box = PressOkOnMessageBox(kelvor.Id());
    EXPECT_NE(box.find(L"does not hold proxy settings"), std::wstring::npos) << Narrow(box);
    PostMessageW(main, WM_COMMAND, CMD_EXIT, 0);
    box = PressOkOnMessageBox(kelvor.Id());
    EXPECT_NE(box.find(L"does not hold proxy settings"), std::wstring::npos) << Narrow(box);
    ASSERT_TRUE(kelvor.WaitExit(15000));
    EXPECT_EQ(Seen(), own_);
    EXPECT_EQ(ReadFileBytes(program + PROXY_RESTORE_FILE), damaged);
}
