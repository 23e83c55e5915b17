#include <windows.h>
#include <shlobj.h>

#include "app/dialogs.h"
#include "app/resources/resource.h"
#include "app/state/app_state.h"

bool BrowseForCacheDir(HWND owner, wchar_t (&folder)[MAX_PATH])
{
    wchar_t title[100] = L"";
    LoadStringW(App.Instance, IDS_SELECT_CACHE_DIR, title, 100);

    // Item lists and the display-name buffer all belong to the shell's allocator.
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)))
        return false;
    bool chosen = false;
    auto* displayName = static_cast<wchar_t*>(allocator->Alloc(MAX_PATH * sizeof(wchar_t)));
    LPITEMIDLIST desktop = nullptr;
    if (displayName && SUCCEEDED(SHGetSpecialFolderLocation(owner, CSIDL_DESKTOP, &desktop))) {
        BROWSEINFOW info{};
        info.hwndOwner = owner;
        info.pidlRoot = desktop;
        info.pszDisplayName = displayName;
        info.lpszTitle = title;
        if (LPITEMIDLIST item = SHBrowseForFolderW(&info)) {
            // The Control Panel and the like have no file-system path.
            if (SHGetPathFromIDListW(item, displayName)) {
                lstrcpynW(folder, displayName, MAX_PATH);
                chosen = true;
            }
            allocator->Free(item);
        }
        allocator->Free(desktop);
    }
    if (displayName)
        allocator->Free(displayName);
    allocator->Release();
    return chosen;
}
