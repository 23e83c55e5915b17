// The C++ runtime's thread support imports GetTickCount64, which Windows XP's kernel32 lacks, so
// the loader would refuse kelvor.exe there. Defining the import slot ourselves keeps the name
// out of the import table; this object is linked into the executable directly so that it is
// seen before kernel32's import library.
#include <windows.h>

namespace {

// GetTickCount wraps after 49.7 days; the wraps are counted here. The runtime may ask from any
// thread, so the count and the last tick seen are one 64-bit value, changed only as a whole.
ULONGLONG WINAPI TickCount64()
{
    static volatile long long state = 0;  // wraps in the high half, the last tick in the low
    for (;;) {
        long long seen = __sync_val_compare_and_swap(&state, 0LL, 0LL);
        // Read after seen, so that only a wrap makes it smaller than the tick seen stored.
        DWORD now = GetTickCount();
        unsigned long long wraps = static_cast<unsigned long long>(seen) >> 32;
        if (now < static_cast<DWORD>(seen))
            ++wraps;
        long long next = static_cast<long long>((wraps << 32) | now);
        if (next == seen || __sync_bool_compare_and_swap(&state, seen, next))
            return (wraps << 32) | now;
    }
}

}  // namespace

#if defined(_WIN64)
extern "C" ULONGLONG(WINAPI* TickCount64Slot)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* TickCount64Slot)() __asm__("__imp__GetTickCount64@0");
#endif
ULONGLONG(WINAPI* TickCount64Slot)() = TickCount64;
