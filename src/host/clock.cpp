#include "host/clock.h"

#include <cmath>
#include <limits>

namespace velk {

Clock::Clock() : Watch(platform::PerformanceCounter()) {}

double Clock::ElapsedSeconds(int64_t elapsedCount, int64_t frequency) {
    double units = static_cast<double>(elapsedCount) * (10000000.0 / static_cast<double>(frequency));
    int64_t ticks;
    if (!(units < 9223372036854775807.0))
        ticks = std::numeric_limits<int64_t>::max();
    else
        ticks = static_cast<int64_t>(units);  // truncation toward zero
    return static_cast<double>(ticks) / 10000000.0;
}

double Clock::Seconds() {
    static const int64_t frequency = platform::PerformanceFrequency();  // read once per run
    return ElapsedSeconds(platform::PerformanceCounter() - Watch, frequency);
}

}  // namespace velk
