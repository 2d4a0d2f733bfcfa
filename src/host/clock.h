// The demo's time source.
#pragma once

#include <cstdint>

namespace velk {

// Current demo time in seconds.
class IClock {
public:
    virtual ~IClock() = default;
    virtual double Seconds() = 0;
};

// A stopwatch over the platform's monotonic high-resolution counter, started at
// construction; it advances in whole 100-nanosecond steps and never goes back.
class Clock : public IClock {
public:
    Clock();
    double Seconds() override;

    // Seconds for an elapsed counter value at a counter frequency (ticks per second):
    // truncated to whole 100 ns units, saturating at the largest 64-bit value.
    static double ElapsedSeconds(int64_t elapsedCount, int64_t frequency);

private:
    int64_t Watch;  // counter value at construction
};

namespace platform {
// Monotonic high-resolution counter and its frequency (ticks per second).
int64_t PerformanceCounter();
int64_t PerformanceFrequency();
// Waits the given number of milliseconds.
void Sleep(uint32_t milliseconds);
}  // namespace platform

}  // namespace velk
