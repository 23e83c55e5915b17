// Entry point: names, window class, program folder, settings, main window, message loop.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "app/control/supervised_proxy.h"
#include "app/control/trim_schedule.h"
#include "app/main_window.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/program_dir.h"
#include "app/ui/messages.h"
#include "proxy/orphan.h"
#include "settings/settings.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand)
{
    LoadStringW(instance, IDS_APP_NAME, App.AppName, 100);
    LoadStringW(instance, IDS_CLASS_NAME, App.ClassName, 100);
    RegisterMainWindowClass(instance);

    // Every file kelvor uses is named by appending to ProgramDir, so a folder too long for that
    // would give wrong paths: refuse to start instead, as a launch that could not happen.
    std::wstring programDir = ProgramDirOf(OwnExecutablePath());
    if (!ProgramDirFits(programDir)) {
        App.Instance = instance;
        ShowBootFailure(nullptr, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    App.ProgramDir = programDir;
    // First of all, so that a kelvor of this folder started just after sees this one.
    App.FolderMark = MarkProgramFolder(App.ProgramDir, App.AnotherKelvorHere);
    // What the tip shows before the first launch reads it again.
    App.ProxyListens = ReadProxyAddress(App.ProgramDir + L"config");

    AdoptSettings(LoadSettings(App.ProgramDir));
    if (!CreateMainWindow(instance, showCommand))
        return 0;
    // Unless a box at start has set it up already.
    SetUpCom();

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDA_MAIN));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (App.ComReady)
        CoUninitialize();
    return 0;
}
