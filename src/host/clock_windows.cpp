// The stopwatch's counter and the idle wait on Win32: QueryPerformanceCounter,
// QueryPerformanceFrequency (read once per run by Clock) and Sleep.
#include <windows.h>

#include "host/clock.h"

namespace velk::platform {

int64_t PerformanceCounter() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

int64_t PerformanceFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace velk::platform
