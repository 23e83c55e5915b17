#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include "proxy/command_line.h"
#include "proxy/proxy_address.h"
#include "proxy/readable_path.h"
#include "tests/support/support.h"

TEST(ReplaceAll, ReplacesEveryOccurrenceAndResumesBehindTheReplacement)
{
    std::wstring text = L"a b  c";
    EXPECT_EQ(ReplaceAll(text, L" ", L"\\ "), L"a\\ b\\ \\ c");
    // The result is the target itself.
    EXPECT_EQ(text, L"a\\ b\\ \\ c");

    std::wstring grows = L"xx";
    EXPECT_EQ(ReplaceAll(grows, L"x", L"xx"), L"xxxx");

    std::wstring none = L"abc";
    EXPECT_EQ(ReplaceAll(none, L"z", L"y"), L"abc");
    // Case matters.
    std::wstring upper = L"ABC";
    EXPECT_EQ(ReplaceAll(upper, L"b", L"x"), L"ABC");
}

TEST(ReplaceAll, EmptyPatternLeavesTheTargetAlone)
{
    std::wstring text = L"abc";
    EXPECT_EQ(ReplaceAll(text, L"", L"x"), L"abc");
    std::wstring empty;
    EXPECT_EQ(ReplaceAll(empty, L"", L""), L"");
}

TEST(EscapeCachePath, UsesForwardSlashesAndEscapesSpaces)
{
    EXPECT_EQ(EscapeCachePath(L"D:\\Web Cache\\store"), L"D:/Web\\ Cache/store");
    EXPECT_EQ(EscapeCachePath(L"D:/cache/"), L"D:/cache/");
    EXPECT_EQ(EscapeCachePath(L"D:\\cache\\"), L"D:/cache/");
    EXPECT_EQ(EscapeCachePath(L"D:\\a  b"), L"D:/a\\ \\ b");
    EXPECT_EQ(EscapeCachePath(L""), L"");
    EXPECT_EQ(EscapeCachePath(L"\\\\server\\share\\c\u00e4che"), L"//server/share/c\u00e4che");
    const std::wstring original = L"C:\\x y";
    EscapeCachePath(original);
    EXPECT_EQ(original, L"C:\\x y");
}

TEST(ProxyCommandLine, MatchesTheDocumentedLineByteForByte)
{
    EXPECT_EQ(ProxyCommandLine(L"C:\\Program Files\\Proxy Tray\\", L"D:\\Web Cache\\store", false),
              L"\"C:\\Program Files\\Proxy Tray\\polipo.exe\" -c config "
              L"diskCacheRoot=\"\\\"D:/Web\\ Cache/store\\\"\" logFile=polipo.log");
    EXPECT_EQ(ProxyCommandLine(L"C:\\Program Files\\Proxy Tray\\", L"D:\\Web Cache\\store", true),
              L"\"C:\\Program Files\\Proxy Tray\\polipo.exe\" -x -c config "
              L"diskCacheRoot=\"\\\"D:/Web\\ Cache/store\\\"\" logFile=polipo.log");
    // Working offline: the choice comes after the config, which the proxy reads first.
    EXPECT_EQ(ProxyCommandLine(L"C:\\k\\", L"D:\\c", false, true),
              L"\"C:\\k\\polipo.exe\" -c config diskCacheRoot=\"\\\"D:/c\\\"\" logFile=polipo.log proxyOffline=true");
}

TEST(ProxyCommandLine, EmptyCacheDirStillGivesAQuotedRoot)
{
    EXPECT_EQ(ProxyCommandLine(L"C:\\k\\", L"", false),
              L"\"C:\\k\\polipo.exe\" -c config diskCacheRoot=\"\\\"\\\"\" logFile=polipo.log");
}

// The line must survive the Windows argument splitter the way the proxy expects.
TEST(ProxyCommandLine, SplitsIntoTheArgumentsTheProxyReads)
{
    std::wstring line = ProxyCommandLine(L"C:\\Program Files\\Proxy Tray\\", L"D:\\Web Cache\\store", true);
    int count = 0;
    wchar_t** args = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(args, nullptr);
    ASSERT_EQ(count, 6);
    EXPECT_STREQ(args[0], L"C:\\Program Files\\Proxy Tray\\polipo.exe");
    EXPECT_STREQ(args[1], L"-x");
    EXPECT_STREQ(args[2], L"-c");
    EXPECT_STREQ(args[3], L"config");
    EXPECT_STREQ(args[4], L"diskCacheRoot=\"D:/Web\\ Cache/store\"");
    EXPECT_STREQ(args[5], L"logFile=polipo.log");
    LocalFree(args);
}

// The proxy reads its command line in the ANSI code page (the stand-in does too).
TEST(ProxyReadablePath, AFolderTheProxyWouldMisreadGoesByItsShortName)
{
    if (GetACP() == CP_UTF8)
        GTEST_SKIP() << "the ANSI code page is UTF-8 here: every name survives it";
    TempDir dir;
    std::wstring plain = dir / L"Proxy Cache";
    EXPECT_EQ(ProxyReadablePath(plain), plain) << "needs no short name, and need not exist";

    // Cyrillic and Chinese: no single code page holds both.
    std::wstring foreign = dir / L"\u041a\u044d\u0448 \u7f13\u5b58";
    EXPECT_EQ(ProxyReadablePath(foreign), L"") << "a folder that does not exist has no short name";
    MakeDirs(foreign);
    std::wstring readable = ProxyReadablePath(foreign);
    ASSERT_FALSE(readable.empty());
    // The folders above may go by their short names too, so only the last one is looked at.
    for (wchar_t c : readable.substr(readable.find_last_of(L'\\') + 1))
        EXPECT_LT(c, 0x80) << Narrow(readable);
    // The short name leads to the same folder.
    wchar_t longName[MAX_PATH];
    ASSERT_GT(GetLongPathNameW(readable.c_str(), longName, MAX_PATH), 0u);
    EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, longName, -1, foreign.c_str(), -1), CSTR_EQUAL)
        << Narrow(longName);
}

TEST(ParseProxyAddress, ReadsTheProxysOwnConfigSyntax)
{
    struct Case {
        const char* config;
        const wchar_t* host;
        unsigned short port;
    } cases[] = {
        {"", L"127.0.0.1", 8123},
        {"# proxyPort = 9000\ndiskCacheRoot = \"C:/x\"\n", L"127.0.0.1", 8123},
        {"proxyPort = 8124\n", L"127.0.0.1", 8124},
        {"  proxyPort=8124 # a comment\r\n", L"127.0.0.1", 8124},
        {"proxyPort = 0x1f90\n", L"127.0.0.1", 8080},
        {"proxyPort = 8124\nproxyPort = 8125\n", L"127.0.0.1", 8125},
        {"proxyPort = many\nproxyPort = 70000\n", L"127.0.0.1", 8123},
        {"proxyport = 8124\n", L"127.0.0.1", 8123},
        {"proxyAddress = \"192.168.1.5\"\nproxyPort = 3128", L"192.168.1.5", 3128},
        {"proxyAddress = 10.0.0.7 # lan\n", L"10.0.0.7", 8123},
        {"proxyAddress = \"0.0.0.0\"\n", L"127.0.0.1", 8123},
        {"proxyAddress = \"10.0.0.7\" trailing\n", L"127.0.0.1", 8123},
        {"proxyAddress = \"10.0.0.7\n", L"127.0.0.1", 8123},
        {"proxyAddress = 0\n", L"127.0.0.1", 8123},
        {"proxyAddress = \"::\"\n", L"::1", 8123},
        {"proxyAddress = 0:0:0:0:0:0:0:0\n", L"::1", 8123},
        {"proxyAddress = \"FE80::1\"\nproxyPort = 3128\n", L"fe80::1", 3128},
    };
    for (const Case& c : cases) {
        ProxyAddress address = ParseProxyAddress(c.config);
        EXPECT_EQ(address.Host, c.host) << c.config;
        EXPECT_EQ(address.Port, c.port) << c.config;
    }
}

TEST(ParseProxyConfig, NamesTheSettingThatRefusesTheWriteOutAsTheProxyReadsBooleans)
{
    const struct {
        const char* config;
        const wchar_t* refusedBy;
    } cases[] = {
        {"", L""},
        {"disableConfiguration = true\n", L"disableConfiguration"},
        {"disableConfiguration = YES # no changes\n", L"disableConfiguration"},
        {"disableConfiguration = true\ndisableConfiguration = false\n", L""},
        {"disableConfiguration = maybe\n", L""},
        {"# disableConfiguration = true\n", L""},
        {"disableLocalInterface = true\ndisableConfiguration = true\n", L"disableLocalInterface"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseProxyConfig(c.config).WriteOutRefusedBy, c.refusedBy) << c.config;
}

TEST(HostAndPort, PutsAnIPv6AddressInBrackets)
{
    EXPECT_EQ(HostAndPort(ProxyAddress{L"127.0.0.1", 8123}), L"127.0.0.1:8123");
    EXPECT_EQ(HostAndPort(ProxyAddress{L"::1", 8123}), L"[::1]:8123");
}

TEST(ReadProxyAddress, ReadsTheFileAndFallsBackWithoutOne)
{
    TempDir dir;
    WriteFileBytes(dir / L"config", "proxyAddress = \"0.0.0.0\"\r\nproxyPort = 8124\r\n");
    EXPECT_EQ(HostAndPort(ReadProxyAddress(dir / L"config")), L"127.0.0.1:8124");
    EXPECT_EQ(HostAndPort(ReadProxyAddress(dir / L"missing")), L"127.0.0.1:8123");
}
