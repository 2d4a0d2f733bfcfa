// Interactive playback: one pass per frame until the demo window is gone.
//
// Each pass pumps the window's events, turns Escape into closing the window, gives
// the music the shader's fade window, ends the show 0.3 s after the shader's end
// time, and draws one frame at the clock's time (or sleeps 10 ms while the client
// area is empty). Frames are paced by the renderer's vsync present.
//
// The loop is a template over the window, renderer and music it drives, so that it
// runs unchanged with the real objects and with test doubles.
#pragma once

#include <cstdint>
#include <memory>

#include "host/clock.h"

namespace velk {

// The end of the show: the end time plus 0.3 s, added in single precision.
inline double ShowEnd(float demoEnd) { return static_cast<double>(demoEnd + 0.3f); }

// The passes of the loop with a given clock. `music` may be null.
template <class WindowT, class RendererT, class MusicT>
void InteractiveLoopPasses(WindowT& window, RendererT& renderer, MusicT* music, IClock& clock,
                           void (*sleep)(uint32_t) = platform::Sleep) {
    for (;;) {
        if (!window.IsOpen) return;
        window.PumpMessages();
        while (!window.Keys.empty()) {
            int32_t key = window.Keys.front();
            window.Keys.pop_front();
            if (key == 27 && window.Handle != 0) window.Destroy();
        }
        if (music) {
            music->FadeStart = static_cast<double>(renderer.FinalFadeStart());
            music->FadeEnd = static_cast<double>(renderer.DemoEnd());
            music->Update();
        }
        double t = clock.Seconds();
        // Not past an infinite or not-a-number end: such a show never ends by itself.
        if (t > ShowEnd(renderer.DemoEnd()) && window.Handle != 0) window.Destroy();
        if (!window.IsOpen) return;
        if (window.Width != 0 && window.Height != 0)
            renderer.Render(window.Width, window.Height, static_cast<float>(clock.Seconds()));
        else
            sleep(10);
    }
}

// The loop as the host runs it: the music is the clock and starts from its
// beginning; without music a stopwatch starts just before the first pass.
template <class WindowT, class RendererT, class MusicT>
void RunInteractiveLoop(WindowT& window, RendererT& renderer, MusicT* music) {
    std::unique_ptr<Clock> stopwatch;
    IClock* clock = music;
    if (!music) {
        stopwatch = std::make_unique<Clock>();
        clock = stopwatch.get();
    } else {
        music->Play(0);
    }
    InteractiveLoopPasses(window, renderer, music, *clock);
}

}  // namespace velk
