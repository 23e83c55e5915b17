#include "app/ui/settings_problems.h"

#include "app/resources/resource.h"
#include "app/state/app_state.h"
#include "app/ui/messages.h"

std::wstring CacheDirProblemText(CacheDirVerdict verdict, const std::wstring& folder, const std::wstring& which)
{
    switch (verdict) {
    case CacheDirVerdict::TooLong:
        return FillIn(LoadText(IDS_CACHE_DIR_TOO_LONG), {folder});
    case CacheDirVerdict::VolumeRoot:
        return FillIn(LoadText(IDS_CACHE_DIR_IS_ROOT), {folder});
    case CacheDirVerdict::HoldsProtectedFolder:
        return FillIn(LoadText(IDS_CACHE_DIR_HOLDS), {folder, which});
    case CacheDirVerdict::InsideProtectedFolder:
        return FillIn(LoadText(IDS_CACHE_DIR_INSIDE), {folder, which});
    case CacheDirVerdict::Link:
        return FillIn(LoadText(IDS_CACHE_DIR_IS_LINK), {folder});
    case CacheDirVerdict::UnsetVariable:
        return FillIn(LoadText(IDS_CACHE_DIR_UNSET), {folder});
    case CacheDirVerdict::Trimmable:
    case CacheDirVerdict::Empty:
        break;
    }
    return std::wstring();
}

void ReportSettingsProblems(HWND owner)
{
    std::wstring text;
    if (App.Config.Unreadable)
        text = FillIn(LoadText(IDS_SETTINGS_UNREADABLE), {App.Config.File});
    for (const UnusableValue& value : App.Config.Unusable) {
        UINT id = value.Key == L"cache size" ? IDS_UNUSABLE_SIZE : IDS_UNUSABLE_INTERVAL;
        text += (text.empty() ? L"" : L"\n\n") + FillIn(LoadText(id), {App.Config.File, value.Text});
    }
    // The folder as written, and as resolved when that differs ("." is the program folder).
    std::wstring folder = App.Config.CacheDir;
    if (!App.CacheFolder.empty() && App.CacheFolder != folder)
        folder += L" (" + App.CacheFolder + L")";
    std::wstring problem = CacheDirProblemText(App.CacheVerdict, folder, App.CacheVerdictFolder);
    // The proxy is given no such folder either: it would fill it without limit.
    if (!problem.empty())
        text += (text.empty() ? L"" : L"\n\n") + problem + L" " + LoadText(IDS_UNSET_NO_CACHE);
    if (!text.empty())
        ShowMessage(owner, text);
}
