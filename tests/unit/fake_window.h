// A window double for the loops' tests, with the real window's state machine:
// Destroy clears the handle at once and posts the quit that the next pump takes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

namespace velk::testing {

struct FakeWindow {
    std::deque<int32_t> Keys;
    uintptr_t Handle = 1;
    int32_t Width = 640, Height = 360;
    bool IsOpen = true;
    int destroys = 0, pumps = 0;
    bool quitPending = false;
    std::function<void(FakeWindow&, int)> onPump;  // script per pump number

    void PumpMessages() {
        ++pumps;
        if (onPump) onPump(*this, pumps);
        if (quitPending) IsOpen = false;
    }
    void Destroy() {
        ++destroys;
        Handle = 0;
        quitPending = true;
    }
};

}  // namespace velk::testing
