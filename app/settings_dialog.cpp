#include <windows.h>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/resources/resource.h"
#include "app/proxy_control.h"
#include "settings/settings.h"
#include "settings/size_text.h"

namespace {

void OnInitSettings(HWND dialog)
{
    wchar_t size[100];
    wsprintfW(size, L"%d", App.Config.CacheSizeMB);
    SetDlgItemTextW(dialog, IDC_CACHE_DIR, App.Config.CacheDir.c_str());
    SetDlgItemTextW(dialog, IDC_CACHE_SIZE, size);
}

void OnBrowse(HWND dialog)
{
    // The pick goes into the field only: it becomes the cache directory when OK takes it.
    wchar_t folder[MAX_PATH];
    if (BrowseForCacheDir(dialog, folder))
        SetDlgItemTextW(dialog, IDC_CACHE_DIR, folder);
}

void OnSettingsOk(HWND dialog)
{
    wchar_t size[100] = L"";
    GetDlgItemTextW(dialog, IDC_CACHE_SIZE, size, 100);
    ParseCacheSize(size, App.Config.CacheSizeMB);

    wchar_t dir[MAX_PATH] = L"";
    GetDlgItemTextW(dialog, IDC_CACHE_DIR, dir, MAX_PATH);
    if (dir[0])
        App.Config.CacheDir = dir;

    DWORD error = ERROR_SUCCESS;
    SaveSettings(App.ProgramDir, App.Config, error);
    // A failed launch is reported over the dialog; the dialog still ends normally, and the
    // program goes on without a proxy until the next restart.
    RestartProxy(dialog);
    EndDialog(dialog, IDOK);
}

}  // namespace

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitSettings(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_BROWSE:
            OnBrowse(dialog);
            return FALSE;
        case IDOK:
            OnSettingsOk(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}
