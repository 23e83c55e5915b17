// The C++ runtime's thread support imports GetTickCount64, which Windows XP's kernel32 lacks, so
// the loader would refuse kelvor.exe there. Defining the import slot ourselves keeps the name
// out of the import table; this object is linked into the executable directly so that it is
// seen before kernel32's import library.
#include <windows.h>

namespace {

// GetTickCount wraps after 49.7 days; the wraps are counted here. Good enough for the runtime's
// timed waits, its only caller.
ULONGLONG WINAPI TickCount64()
{
    static DWORD last = 0;
    static ULONGLONG high = 0;
    DWORD now = GetTickCount();
    if (now < last)
        high += 0x100000000ULL;
    last = now;
    return high + now;
}

}  // namespace

#if defined(_WIN64)
extern "C" ULONGLONG(WINAPI* TickCount64Slot)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* TickCount64Slot)() __asm__("__imp__GetTickCount64@0");
#endif
ULONGLONG(WINAPI* TickCount64Slot)() = TickCount64;
