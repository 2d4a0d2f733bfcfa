// The window against a real SDL window (needs an X display; ctest runs under Xvfb).
#include <gtest/gtest.h>

#include <SDL.h>

#include "window/window.h"

namespace {

void PushKey(SDL_Keycode key, uint16_t mod, uint32_t windowId, bool repeat = false) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.windowID = windowId;
    e.key.repeat = repeat;
    e.key.keysym.sym = key;
    e.key.keysym.mod = mod;
    SDL_PushEvent(&e);
}

uint32_t IdOf(const velk::Window& w) { return SDL_GetWindowID(reinterpret_cast<SDL_Window*>(w.Handle)); }

}  // namespace

TEST(Window, WindowedClientSizeKeysAndStates) {
    if (!getenv("DISPLAY")) GTEST_SKIP() << "no display";
    velk::Window w("tovelmark velk", 640, 360, false);
    ASSERT_NE(w.Handle, 0u);
    EXPECT_EQ(w.Width, 640);
    EXPECT_EQ(w.Height, 360);
    EXPECT_TRUE(w.IsOpen);

    uint32_t id = IdOf(w);
    PushKey(SDLK_ESCAPE, 0, id);
    PushKey(SDLK_a, 0, id, true);  // auto-repeat counts
    PushKey(SDLK_a, KMOD_LALT, id);  // a system key: never queued
    w.PumpMessages();
    ASSERT_EQ(w.Keys.size(), 2u);
    EXPECT_EQ(w.Keys[0], 27);
    EXPECT_EQ(w.Keys[1], 'A');

    w.Destroy();
    EXPECT_EQ(w.Handle, 0u);  // at once
    EXPECT_TRUE(w.IsOpen);
    w.Dispose();  // already destroyed: nothing
    w.PumpMessages();
    EXPECT_FALSE(w.IsOpen);
    EXPECT_EQ(w.Width, 640);  // sizes kept after destruction
}

TEST(Window, CloseRequestAndAltF4DestroyWithoutQueueingKeys) {
    if (!getenv("DISPLAY")) GTEST_SKIP() << "no display";
    for (int way = 0; way < 2; ++way) {
        velk::Window w("tovelmark velk", 320, 200, false);
        uint32_t id = IdOf(w);
        if (way == 0) {
            SDL_Event e{};
            e.type = SDL_WINDOWEVENT;
            e.window.event = SDL_WINDOWEVENT_CLOSE;
            e.window.windowID = id;
            SDL_PushEvent(&e);
        } else {
            PushKey(SDLK_F4, KMOD_LALT, id);
        }
        w.PumpMessages();  // one pump: destroyed and its quit taken
        EXPECT_EQ(w.Handle, 0u);
        EXPECT_FALSE(w.IsOpen);
        EXPECT_TRUE(w.Keys.empty());
    }
}

TEST(Window, FullScreenCoversTheDisplay) {
    if (!getenv("DISPLAY")) GTEST_SKIP() << "no display";
    velk::Window w("tovelmark velk", 100, 100, true);
    SDL_Rect bounds;
    ASSERT_EQ(SDL_GetDisplayBounds(0, &bounds), 0);
    EXPECT_EQ(w.Width, bounds.w);
    EXPECT_EQ(w.Height, bounds.h);
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_DISABLE);
}
