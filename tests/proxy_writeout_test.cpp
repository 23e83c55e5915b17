// Asking a running proxy to write out its objects, over a real socket to a real process.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "proxy/writeout.h"
#include "tests/support/support.h"

namespace {

const ProxyAddress LOCAL_PROXY{L"127.0.0.1", 8123};

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}

// The proxy at exe started as kelvor starts it, from a program folder with an empty config;
// waits until it listens, or has said that it cannot.
struct ListeningProxy {
    ListeningProxy(const TempDir& dir, const std::wstring& exe, const std::string& config = "")
    {
        program = MakeProgramFolder(dir / L"program");
        CopyFileW(exe.c_str(), (program + L"polipo.exe").c_str(), FALSE);
        WriteFileBytes(program + L"config", config);
        process = Child(program + L"polipo.exe", L"-c config logFile=polipo.log", program);
        WaitFor([&] {
            std::wstring text = Log();
            return Contains(text, L"Established listening socket") || Contains(text, L"unavailable") ||
                   !process.Running();
        });
    }
    std::wstring Log() const { return Widen(ReadFileBytes(program + L"polipo.log")); }
    bool Listening() const { return Contains(Log(), L"Established listening socket on port 8123"); }

    std::wstring program;
    Child process;
};

// The proxy's port, bound by this test so that no proxy can take it; it listens on request.
class HeldPort {
public:
    HeldPort()
    {
        WSADATA winsock;
        WSAStartup(MAKEWORD(2, 2), &winsock);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        // Connections of the tests before may still linger on the port; a listener may not.
        BOOL reuse = TRUE;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8123);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~HeldPort()
    {
        closesocket(socket_);
        WSACleanup();
    }
    bool Bound() const { return bound_; }
    bool Listen() { return listen(socket_, 4) == 0; }

private:
    SOCKET socket_;
    bool bound_;
};

}  // namespace

// Done only when the proxy says so: a config that disables its forms or its local pages makes
// it refuse, and the stand-in answers as the real one (KELVOR_REAL_PROXY, when the machine has
// it) does.
TEST(AskProxyToWriteOut, IsTrueOnlyWhenTheProxyWroteItsObjectsOut)
{
    wchar_t real[MAX_PATH] = L"";
    bool hasReal = GetEnvironmentVariableW(L"KELVOR_REAL_PROXY", real, MAX_PATH) && Exists(real);
    const struct {
        const char* Config;
        bool Done;
    } cases[] = {
        {"", true},
        {"disableConfiguration = true\n", false},
        {"disableLocalInterface = yes\n", false},
        {"disableConfiguration = false\n", true},
    };
    for (const std::wstring& exe : {BinDir() + L"\\polipo.exe", std::wstring(real)}) {
        if (exe.empty() || (exe == real && !hasReal))
            continue;
        for (const auto& c : cases) {
            SCOPED_TRACE(Narrow(exe) + " with " + c.Config);
            ASSERT_TRUE(WaitForProxyPortFree());
            TempDir dir;
            ListeningProxy proxy(dir, exe, c.Config);
            ASSERT_TRUE(proxy.Listening()) << Narrow(proxy.Log());
            EXPECT_EQ(AskProxyToWriteOut(LOCAL_PROXY, 3000), c.Done);
            EXPECT_TRUE(proxy.process.Running());
        }
    }
    if (!hasReal)
        GTEST_SKIP() << "checked with the stand-in only: no real proxy given in KELVOR_REAL_PROXY";
}

TEST(AskProxyToWriteOut, IsFalseWhenNothingListensAndWhenNothingAnswers)
{
    HeldPort port;
    if (!port.Bound())
        GTEST_SKIP() << "port 8123 is held by another program";
    // Bound but not listening: the connection is refused.
    EXPECT_FALSE(AskProxyToWriteOut(LOCAL_PROXY, 3000));
    // Listening but never accepting: the connection succeeds and no answer ever comes, so only
    // the time limit ends the wait.
    ASSERT_TRUE(port.Listen());
    EXPECT_FALSE(AskProxyToWriteOut(LOCAL_PROXY, 500));
}
