// Entry point: names, window class, program folder, settings, main window, message loop.
#include <windows.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/program_dir.h"
#include "app/resources/resource.h"
#include "app/proxy_control.h"
#include "app/trim_schedule.h"
#include "settings/settings.h"

namespace {

// The executable's full path, however long; empty if it cannot be read.
std::wstring OwnModulePath()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        // A full buffer means the path may have been cut.
        if (length < path.size())
            return std::wstring(path.data(), length);
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand)
{
    LoadStringW(instance, IDS_APP_NAME, App.AppName, 100);
    LoadStringW(instance, IDS_CLASS_NAME, App.ClassName, 100);
    RegisterMainWindowClass(instance);

    // Every file kelvor uses is named by appending to ProgramDir, so a folder too long for that
    // would give wrong paths: refuse to start instead, as a launch that could not happen.
    std::wstring programDir = ProgramDirOf(OwnModulePath());
    if (!ProgramDirFits(programDir)) {
        App.Instance = instance;
        ShowBootFailure(nullptr, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    App.ProgramDir = programDir;

    AdoptSettings(LoadSettings(App.ProgramDir));
    if (!CreateMainWindow(instance, showCommand))
        return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDA_MAIN));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}
