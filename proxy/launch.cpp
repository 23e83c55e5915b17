#include "proxy/launch.h"

#include <vector>

#include "proxy/command_line.h"

namespace {

// A start that fails for want of the system's resources, or because the new process died while
// the system set it up (Wine says ERROR_INTERNAL_ERROR then, now and then, on an idle machine
// too), may well succeed a moment later. A start refused for the program's own sake (no such
// file, no access, not a program) would only fail again.
constexpr int LAUNCH_ATTEMPTS = 3;
constexpr DWORD LAUNCH_RETRY_MS = 200;

bool MayPassOnRetry(DWORD error)
{
    switch (error) {
    case ERROR_INTERNAL_ERROR:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
        return true;
    default:
        return false;
    }
}

}  // namespace

BOOL StartProcess(const wchar_t* application, const std::wstring& commandLine, BOOL inheritHandles,
                  const wchar_t* directory, STARTUPINFOW& startup, PROCESS_INFORMATION& started)
{
    BOOL launched = FALSE;
    for (int attempt = 1; attempt <= LAUNCH_ATTEMPTS; ++attempt) {
        if (attempt > 1)
            Sleep(LAUNCH_RETRY_MS);
        // CreateProcessW may write into the command line, so each try gets a copy of its own.
        std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
        writable.push_back(L'\0');
        launched = CreateProcessW(application, writable.data(), nullptr, nullptr, inheritHandles, 0, nullptr,
                                  directory, &startup, &started);
        if (launched || !MayPassOnRetry(GetLastError()))
            break;
    }
    return launched;
}

void SetLongLogAside(const std::wstring& programDir)
{
    std::wstring log = programDir + L"polipo.log";
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    ULARGE_INTEGER size;
    size.LowPart = data.nFileSizeLow;
    size.HighPart = data.nFileSizeHigh;
    if (size.QuadPart <= static_cast<ULONGLONG>(LOG_LIMIT_BYTES))
        return;
    // Either the whole log moves or nothing does: the proxy then appends to it as before.
    MoveFileExW(log.c_str(), (programDir + PROXY_OLD_LOG_FILE).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool LaunchProxy(const std::wstring& programDir, const std::wstring& cacheDir, ProxyMode mode,
                 PROCESS_INFORMATION& process, DWORD& error, bool offline)
{
    process = PROCESS_INFORMATION{};
    if (mode == ProxyMode::Serve)
        SetLongLogAside(programDir);
    std::wstring line = ProxyCommandLine(programDir, cacheDir, mode == ProxyMode::Purge, offline);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // The output file is the one handle the proxy inherits; a file that cannot be opened only
    // loses the proxy's words, never the launch.
    HANDLE output = INVALID_HANDLE_VALUE;
    if (mode == ProxyMode::Serve) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        output = CreateFileW((programDir + PROXY_OUTPUT_FILE).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (output != INVALID_HANDLE_VALUE) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION started{};
    BOOL launched = StartProcess(nullptr, line, output != INVALID_HANDLE_VALUE, programDir.c_str(), startup, started);
    DWORD launchError = GetLastError();
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (!launched) {
        error = launchError;
        return false;
    }
    CloseHandle(started.hThread);
    started.hThread = nullptr;
    process = started;
    error = ERROR_SUCCESS;
    return true;
}

std::wstring LastLinesOf(const std::wstring& path, int count)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::wstring();
    // The end of the file is enough for a few lines.
    constexpr LONG TAIL_BYTES = 4096;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    LARGE_INTEGER start{};
    start.QuadPart = size.QuadPart > TAIL_BYTES ? size.QuadPart - TAIL_BYTES : 0;
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    std::string bytes(static_cast<size_t>(size.QuadPart - start.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty())
        ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);

    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < bytes.size()) {
        size_t end = bytes.find('\n', begin);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        begin = end + 1;
    }
    std::string tail;
    for (size_t i = lines.size() > static_cast<size_t>(count) ? lines.size() - count : 0; i < lines.size(); ++i)
        tail += (tail.empty() ? "" : "\n") + lines[i];
    if (tail.empty())
        return std::wstring();
    UINT codePage = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, tail.data(), static_cast<int>(tail.size()),
                                        nullptr, 0) > 0 ? CP_UTF8 : CP_ACP;
    int length = MultiByteToWideChar(codePage, 0, tail.data(), static_cast<int>(tail.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, tail.data(), static_cast<int>(tail.size()), &text[0], length);
    return text;
}
