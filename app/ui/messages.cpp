#include "app/ui/messages.h"

#include <objbase.h>

#include "app/resources/resource.h"
#include "app/state/app_state.h"

std::wstring LoadText(UINT id)
{
    // With no buffer, LoadStringW hands out the resource's own read-only text.
    const wchar_t* text = nullptr;
    int length = LoadStringW(App.Instance, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text)
        return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

std::wstring FillIn(std::wstring pattern, std::initializer_list<std::wstring> values)
{
    // One pass from left to right: a value that itself holds "%2" (a folder may) stays as it is.
    std::wstring filled;
    for (size_t at = 0; at < pattern.size(); ++at) {
        wchar_t next = at + 1 < pattern.size() ? pattern[at + 1] : L'\0';
        size_t number = static_cast<size_t>(next - L'1');
        if (pattern[at] == L'%' && next >= L'1' && next <= L'9' && number < values.size()) {
            filled += values.begin()[number];
            ++at;
        } else {
            filled += pattern[at];
        }
    }
    return filled;
}

std::wstring LeadWithin(const std::wstring& lead, const std::wstring& rest, size_t limit)
{
    const std::wstring cut = L"...";
    if (rest.size() >= limit)
        return rest.substr(0, limit - cut.size()) + cut;
    if (lead.empty())
        return rest;
    size_t room = limit - rest.size() - 1;
    if (lead.size() <= room)
        return lead + L"\n" + rest;
    if (room <= cut.size())
        return rest;
    return lead.substr(0, room - cut.size()) + cut + L"\n" + rest;
}

std::wstring SystemReason(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring reason = length && text ? std::wstring(text, length) : std::wstring();
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' '))
        reason.pop_back();
    if (!reason.empty())
        reason += L" ";
    return reason + L"(" + std::to_wstring(error) + L")";
}

std::wstring BootFailureText(DWORD error)
{
    wchar_t text[100] = L"";
    wsprintfW(text, LoadText(IDS_BOOT_FAILED).c_str(), static_cast<int>(error));
    return text;
}

void SetUpCom()
{
    if (!App.ComReady)
        App.ComReady = SUCCEEDED(CoInitialize(nullptr));
}

void ShowMessage(HWND owner, const std::wstring& text)
{
    // The box's own loop can run Config page and View log, whose shell handlers need COM.
    SetUpCom();
    ++App.OpenMessageBoxes;
    MessageBoxW(owner, text.c_str(), App.AppName, MB_OK);
    --App.OpenMessageBoxes;
}
