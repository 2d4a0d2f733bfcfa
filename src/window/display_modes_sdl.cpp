// Display modes of the primary display through SDL2 (Linux).
#include <SDL.h>

#include <stdexcept>
#include <string>

#include "window/setup_dialog.h"

namespace velk::platform {

std::vector<ModeSize> QueryDisplayModes() {
    bool started = false;
    if (!SDL_WasInit(SDL_INIT_VIDEO)) {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) throw std::runtime_error(SDL_GetError());
        started = true;
    }
    std::vector<ModeSize> sizes;
    int count = SDL_GetNumDisplayModes(0);
    if (count < 0) {
        std::string error = SDL_GetError();
        if (started) SDL_QuitSubSystem(SDL_INIT_VIDEO);
        throw std::runtime_error(error);
    }
    for (int i = 0; i < count; ++i) {
        SDL_DisplayMode mode;
        if (SDL_GetDisplayMode(0, i, &mode) == 0) sizes.emplace_back(mode.w, mode.h);
    }
    if (started) SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return sizes;
}

}  // namespace velk::platform
