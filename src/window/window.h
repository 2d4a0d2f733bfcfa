// The demo's one top-level window.
//
// It draws nothing itself (the renderer presents into it); it turns the few events
// that matter into state the host polls once per pass: the client size, the keys
// pressed, whether the window still exists (Handle) and whether the quit that its
// destruction posted has been taken (IsOpen).
//
// States: open (Handle set, IsOpen) -> destroyed (Handle 0 as soon as Destroy
// returns, IsOpen still true) -> closed (the next PumpMessages took the quit:
// IsOpen false). There is no way back.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "render/gpu.h"

namespace velk {

class Window {
public:
    // Full screen: a borderless window covering the primary display at its pixel
    // size, the cursor hidden for the rest of the run (width and height unused).
    // Windowed: a resizable window whose client area has the requested size.
    // Raises InvalidOperationException when the window cannot be made.
    Window(const std::string& title, int width, int height, bool fullscreen);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Virtual-key codes of key presses not yet taken (auto-repeats included; Escape is 27).
    std::deque<int32_t> Keys;
    // The window while it exists; 0 from the moment it is destroyed.
    gpu::NativeWindow Handle = 0;
    // Client size in pixels (0 by 0 while minimised); kept after destruction.
    int32_t Width = 0;
    int32_t Height = 0;
    // True until PumpMessages takes the quit posted by the destruction.
    bool IsOpen = true;

    // Handles every waiting event; never blocks.
    void PumpMessages();
    // Destroys the window if it still exists.
    void Dispose();
    // Destroys the window now (the host's DestroyWindow): Handle becomes 0 at once
    // and a quit is posted for the next PumpMessages.
    void Destroy();

    // The window that events are reported to (one per process).
    static Window* Current;

    // Windows virtual-key code for a platform key code (0 when it has none).
    static int32_t VirtualKeyFor(int32_t platformKey);

private:
    void* native_ = nullptr;  // the platform window, freed at destruction of this object
    uint32_t windowId_ = 0;
    bool quitPosted_ = false;  // a destruction posted its quit
};

}  // namespace velk
