// Entry point: names, window class, program folder, settings, main window, message loop.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "app/control/supervised_proxy.h"
#include "app/control/system_proxy_switch.h"
#include "app/control/trim_schedule.h"
#include "app/main_window.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/state/program_dir.h"
#include "app/ui/messages.h"
#include "proxy/orphan.h"
#include "settings/proxy_restore.h"
#include "settings/settings.h"

namespace {

// The uninstaller's request, after a kelvor that ended from outside left the user's own proxy
// settings saved beside it: they go back, and nothing else runs.
constexpr wchar_t RESTORE_PROXY_SWITCH[] = L"/restore-proxy-settings";

// Exit code 0 once the settings are back (or none were saved), 1 while they stay saved: the
// uninstaller then keeps the folder, and with it the only copy of them. Nobody may be there to
// read a message.
int RestoreProxySettings()
{
    SwitchResult result = GiveConnectionsBack(App.ProgramDir + PROXY_RESTORE_FILE, SystemConnections());
    return result.Failure == SwitchFailure::None ? 0 : 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int showCommand)
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
    if (lstrcmpiW(commandLine, RESTORE_PROXY_SWITCH) == 0)
        return RestoreProxySettings();
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
