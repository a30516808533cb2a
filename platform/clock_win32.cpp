#include <windows.h>

#include "platform/clock.h"

namespace platform {

int64_t CounterNow() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

int64_t CounterFrequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

uint32_t TickCountMs() {
    return GetTickCount();
}

void SleepMs(int32_t ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace platform
