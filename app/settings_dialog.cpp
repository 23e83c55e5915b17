#include <windows.h>

#include "app/control/supervised_proxy.h"
#include "app/control/trim_schedule.h"
#include "app/dialogs.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/ui/messages.h"
#include "app/ui/settings_problems.h"
#include "settings/number_text.h"
#include "settings/settings.h"

namespace {

std::wstring FieldText(HWND dialog, int id)
{
    HWND field = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(field, &text[0], static_cast<int>(text.size()))));
    return text;
}

// Puts the user back in the field to correct it, with what was typed still there.
void RefuseField(HWND dialog, int id, const std::wstring& why)
{
    ShowMessage(dialog, why);
    HWND field = GetDlgItem(dialog, id);
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    SendMessageW(field, EM_SETSEL, 0, -1);
}

void OnInitSettings(HWND dialog)
{
    SetDlgItemTextW(dialog, IDC_CACHE_DIR, App.Config.CacheDir.c_str());
    SetDlgItemTextW(dialog, IDC_CACHE_SIZE, std::to_wstring(App.Config.CacheSizeMB).c_str());
}

void OnBrowse(HWND dialog)
{
    // The pick goes into the field only: it becomes the cache directory when OK takes it.
    wchar_t folder[MAX_PATH];
    if (BrowseForCacheDir(dialog, folder))
        SetDlgItemTextW(dialog, IDC_CACHE_DIR, folder);
}

// Nothing changes unless everything typed can be used and is saved; otherwise the dialog stays
// open with what was typed.
void OnSettingsOk(HWND dialog)
{
    Settings changed = App.Config;
    if (!ParseWholeNumber(FieldText(dialog, IDC_CACHE_SIZE), changed.CacheSizeMB)) {
        RefuseField(dialog, IDC_CACHE_SIZE, LoadText(IDS_SIZE_NOT_A_NUMBER));
        return;
    }
    // An empty field keeps the folder there was. What is typed is saved as typed (less the
    // quotes of a pasted path), so that its variables are put in wherever it is read.
    std::wstring dir = FolderAsTyped(FieldText(dialog, IDC_CACHE_DIR));
    if (!dir.empty()) {
        changed.CacheDir = dir;
        changed.CacheDirCut = false;
    }
    CacheDirCheck check = CheckCacheDirSetting(App.ProgramDir, changed.CacheDir);
    if (check.Verdict != CacheDirVerdict::Trimmable && check.Verdict != CacheDirVerdict::Empty) {
        std::wstring folder = check.Folder.empty() || check.Folder == changed.CacheDir
                                  ? changed.CacheDir
                                  : changed.CacheDir + L" (" + check.Folder + L")";
        std::wstring problem = CacheDirProblemText(check.Verdict, folder, check.Which);
        if (check.Verdict != CacheDirVerdict::UnsetVariable)
            problem += L" " + LoadText(IDS_CHOOSE_OTHER_DIR);
        RefuseField(dialog, IDC_CACHE_DIR, problem);
        return;
    }

    DWORD error = ERROR_SUCCESS;
    if (!SaveSettings(App.ProgramDir, changed, error)) {
        std::wstring file = App.ProgramDir + L"kelvor.ini";
        ShowMessage(dialog, error == ERROR_UNSUPPORTED_TYPE
                                ? FillIn(LoadText(IDS_SETTINGS_UNREADABLE), {file})
                                : FillIn(LoadText(IDS_SAVE_FAILED), {file, SystemReason(error)}));
        return;
    }
    // What is in the file now is what kelvor runs with.
    changed.File = App.ProgramDir + L"kelvor.ini";
    changed.FromLegacyFile = false;
    changed.Unusable.clear();
    changed.Unreadable = false;
    AdoptSettings(changed);
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
        App.SettingsDialog = dialog;
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
