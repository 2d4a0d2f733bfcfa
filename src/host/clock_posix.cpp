// Monotonic counter and sleep on POSIX: CLOCK_MONOTONIC in nanoseconds.
#include <time.h>

#include "host/clock.h"

namespace velk::platform {

int64_t PerformanceCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t PerformanceFrequency() { return 1000000000LL; }

void Sleep(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace velk::platform
