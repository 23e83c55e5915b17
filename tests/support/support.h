// Shared pieces of kelvor's tests: temporary folders, files, processes and windows, all real.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder, without a trailing backslash.
    const std::wstring& Path() const { return path_; }
    // Path() + "\" + name.
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void RemoveTree(const std::wstring& path);
void MakeDirs(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// A file of the given length, sparse where the file system allows.
void WriteFileOfSize(const std::wstring& path, int64_t size);
std::string ReadFileBytes(const std::wstring& path);
bool Exists(const std::wstring& path);
void SetLastAccess(const std::wstring& path, uint64_t fileTime);
// Sets both the last-access and the last-write time, as a pass reads a file's last use.
void SetLastUse(const std::wstring& path, uint64_t fileTime);
void SetFileTimes(const std::wstring& path, uint64_t accessTime, uint64_t writeTime);
// A file of the given length (sparse where the file system allows), its folders made first,
// last used at lastUse.
void MakeCacheFile(const std::wstring& path, int64_t size, uint64_t lastUse);
// Where the proxy keeps url ("http://host:port/path") in its cache, relative to the cache folder:
// the server's folder (host and port, every character but A-Z a-z 0-9 . - _ as "%XX"), a
// backslash, and the MD5 of url in base64 with "-" for "/". Tests name their cache files with it.
std::wstring ProxyFile(const std::string& url);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& text);

// The folder holding the test programs, kelvor.exe and the stand-in polipo.exe.
std::wstring BinDir();

// A program folder in dir: kelvor.exe and, when withProxy, the stand-in polipo.exe beside it
// with the empty `config` that it needs to start. Returns the folder, ending in a backslash.
std::wstring MakeProgramFolder(const std::wstring& dir, bool withProxy = true);

// Sets an environment variable for this process and the processes it starts, restoring the old
// value at the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool hadOld_;
};

// A symbolic link at link (a Windows path) to the folder target, made by the host's own ln, since
// Wine's CreateSymbolicLinkW makes none. Wine shows it as a reparse point. Removed at the end of
// the scope.
class ScopedLink {
public:
    ScopedLink(const std::wstring& link, const std::wstring& target);
    ~ScopedLink();
    ScopedLink(const ScopedLink&) = delete;
    ScopedLink& operator=(const ScopedLink&) = delete;
    bool Made() const { return made_; }

protected:
    ScopedLink() = default;
    void Make(const std::string& unixLink, const std::wstring& target, const std::wstring& shown);
    void Remove();

private:
    std::string unixLink_;
    std::wstring shown_;
    bool made_ = false;
};

// A drive letter of its own for folder: a link in the Wine prefix's dosdevices, which is how Wine
// keeps its drives. Root() is "Q:\", for example.
//
// Made() once Wine's list of drives has it: Wine finds a file's volume through that list, which
// it reads again only when the clock's second has changed since it last did, so a test that read
// a folder's volume serial before and after such a change would see two volumes. The same wait
// follows the link's removal.
class ScopedDriveLetter : public ScopedLink {
public:
    explicit ScopedDriveLetter(const std::wstring& folder);
    ~ScopedDriveLetter();
    const std::wstring& Root() const { return root_; }
    bool Made() const { return ScopedLink::Made() && settled_; }

private:
    std::wstring root_;
    std::wstring folder_;
    bool settled_ = false;
};

// A started process, or one opened by its id (a proxy that kelvor started); terminated at the
// end of the scope if it still runs, so no test leaves it behind.
class Child {
public:
    Child() = default;
    Child(const std::wstring& exe, const std::wstring& arguments, const std::wstring& dir);
    explicit Child(DWORD pid);
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }
    // True when the process ended within timeoutMs.
    bool WaitExit(DWORD timeoutMs);
    bool Running() const;
    // The exit code once ended, STILL_ACTIVE before.
    DWORD ExitCode() const;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// One line the stand-in proxy records when it starts.
struct ProxyRecord {
    DWORD Pid;
    // From the STARTUPINFO the proxy was given.
    DWORD StartupFlags;
    WORD ShowWindow;
    std::wstring CommandLine;
    std::wstring Directory;
};
std::vector<ProxyRecord> ReadProxyRecords(const std::wstring& path);

// How long a test waits, by default, for something that does happen: a passing run never waits
// that long, and a shared machine under load can take many seconds to start a Wine process or to
// have its shell answer.
constexpr DWORD PATIENCE_MS = 30000;

// Polls condition every 50 ms until it holds or timeoutMs has passed.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = PATIENCE_MS)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
}

// Whether something accepts connections on 127.0.0.1:port.
bool PortListening(unsigned short port);

// Waits until nothing listens on the proxy's port 8123 any more; false if something still does.
// Under Wine a terminated process counts as ended before its Linux process has closed its
// sockets, so a proxy just ended can keep the port for a moment, and the next proxy would find
// it taken.
bool WaitForProxyPortFree(DWORD timeoutMs = PATIENCE_MS);

// Whether none of the connections of the proxy's port 8123 is open, only its listening socket.
// Wine's server keeps the listening socket of a process killed while connections of it are
// open, and the port stays taken until Wine itself ends. A proxy that served a moment ago is
// therefore killed, or its kelvor closed, once this holds.
bool ProxyAtRest();
// Wine's server also keeps, for good, a connection of a proxy killed with it open, in
// CLOSE_WAIT: no proxy started later can close it. While no proxy listens, this marks the
// connections open now as no later proxy's, and ProxyAtRest passes them over; while one does,
// it leaves the marks as they are.
void NoteProxyRelics();

// Top-level windows of a process, in enumeration order; className filters when not empty.
std::vector<HWND> TopWindows(DWORD pid, const std::wstring& className = L"");
// The first top-level window of that class in process pid, waiting up to timeoutMs.
HWND WaitForTopWindow(DWORD pid, const std::wstring& className, DWORD timeoutMs = PATIENCE_MS);
// kelvor's main window in process pid once its WM_CREATE is over, which is when the hidden tip
// child exists: the window itself can be enumerated while WM_CREATE still runs.
HWND WaitForMainWindow(DWORD pid, DWORD timeoutMs = PATIENCE_MS);
// For a failure message: whether process pid still runs or its exit code, and its top-level
// windows with their classes, titles, visibility and what they say (a box's text, kelvor's tip).
std::string WhatProcessShows(DWORD pid);
std::wstring WindowText(HWND window);
std::wstring ClassOf(HWND window);
// The texts of a window's static children, joined by newlines.
std::wstring StaticTexts(HWND window);

// kelvor.exe started in a fresh program folder, "kelvor" in a temporary directory, with the
// stand-in proxy beside it recording every start. iniText and configText, unless empty, become
// kelvor.ini and the proxy's config first. At the end of the scope kelvor is closed as a user would close it, and whatever still
// runs of it and of its proxies is ended, so that the next test finds no proxy running.
class RunningKelvor {
public:
    explicit RunningKelvor(const std::string& iniText = "", const std::string& configText = "");
    ~RunningKelvor();
    RunningKelvor(const RunningKelvor&) = delete;
    RunningKelvor& operator=(const RunningKelvor&) = delete;

    // Success once the main window exists and the first proxy has recorded its start; else
    // what was missing.
    testing::AssertionResult Ready() const;
    // kelvor.exe started (again) in the folder, as the constructor starts it; once the last one
    // has ended, however it ended. Ready() then speaks of this start and the proxy it records.
    void Start();
    HWND Main() const { return main_; }
    Child& Process() { return kelvor_; }
    const TempDir& Dir() const { return dir_; }
    // The program folder, ending in a backslash.
    const std::wstring& Program() const { return program_; }
    std::vector<ProxyRecord> Records() const { return ReadProxyRecords(record_); }
    // Where the stand-in records its starts: for another kelvor of the same folder too.
    const std::wstring& RecordFile() const { return record_; }
    // For a failure message: the recorded starts, the proxy's log and what it printed.
    std::string Story() const;

private:
    TempDir dir_;
    std::wstring program_;
    std::wstring record_;
    Child kelvor_;
    HWND main_ = nullptr;
    DWORD startError_ = ERROR_SUCCESS;
    size_t earlierStarts_ = 0;  // proxy starts recorded before this kelvor's
};

// Whether kelvor's icon is still in the notification area right after its main window has
// handled WM_DESTROY, while it is still a window: the shell drops a destroyed window's icons by
// itself, so only then does the answer tell whether kelvor removed its icon. Made before kelvor
// starts (kelvor inherits where to write the answer), then set on its main window.
class IconAtDestroy {
public:
    IconAtDestroy();
    ~IconAtDestroy();
    IconAtDestroy(const IconAtDestroy&) = delete;
    IconAtDestroy& operator=(const IconAtDestroy&) = delete;

    // Hooks main's thread; false when the hook could not be set.
    bool Watch(HWND main);
    // "shown" or "gone" once kelvor's main window has handled WM_DESTROY; empty before.
    std::string Answer() const;

private:
    TempDir dir_;
    ScopedEnv answerTo_;
    HMODULE probe_ = nullptr;
    HHOOK hook_ = nullptr;
};

// Whether a menu handle of kelvor's is still a menu, asked inside kelvor, where menus can be
// looked at. Made before kelvor starts (kelvor inherits where to write the answer).
class MenuProbe {
public:
    MenuProbe();
    ~MenuProbe();
    MenuProbe(const MenuProbe&) = delete;
    MenuProbe& operator=(const MenuProbe&) = delete;

    // Hooks main's thread; false when the hook could not be set.
    bool Watch(HWND main);
    // "menu" or "none" for menu, asked through main; empty when kelvor did not answer.
    std::string Ask(HWND main, HMENU menu);

private:
    TempDir dir_;
    ScopedEnv answerTo_;
    HMODULE probe_ = nullptr;
    HHOOK hook_ = nullptr;
};

// The first top-level window of process pid with that class and title, waiting up to timeoutMs.
HWND WaitForWindowTitled(DWORD pid, const std::wstring& className, const std::wstring& title,
                         DWORD timeoutMs = PATIENCE_MS);
// Presses OK on the next message box of process pid; returns "<caption>: <text>", or
// "(no message box)".
std::wstring PressOkOnMessageBox(DWORD pid);
// Returns once window's thread has handled everything sent to it before; false if it hangs.
bool WaitUntilIdle(HWND window);

// The balloons the shell shows now, and their texts.
std::vector<HWND> BalloonWindows();
std::vector<std::wstring> ShownBalloons();
// Whether the shell shows a balloon whose text begins with start, waiting up to timeoutMs.
bool WaitForBalloon(const std::wstring& start, DWORD timeoutMs = PATIENCE_MS);

// The number of handles this process has open. Wine's GetProcessHandleCount reports none, so
// there the system-wide handle list is counted instead.
DWORD OwnHandleCount();
// The time now, and the milliseconds from such a time to the end of an ended process: how
// long something took to make a process end, measured by the system, not by when we looked.
FILETIME TimeNow();
int64_t MsUntilExit(const FILETIME& from, HANDLE process);
// True while process pid runs.
bool ProcessAlive(DWORD pid);

// Starts a Linux program, which Wine runs without giving a handle to wait on: callers await its
// effect instead.
bool StartLinuxProgram(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder);
// The Linux path Wine gives a Windows one, or an empty string outside Wine.
std::wstring UnixPath(const std::wstring& path);
