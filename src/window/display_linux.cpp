// The reason given when no display can be opened (Linux: X11 or Wayland).
#include <cstdlib>
#include <string>

#include "window/setup_dialog.h"

namespace velk::platform {

std::string NoDisplayReason() {
    auto named = [](const char* variable) {
        const char* value = std::getenv(variable);
        return value && *value ? std::string(value) : std::string();
    };
    std::string x11 = named("DISPLAY"), wayland = named("WAYLAND_DISPLAY");
    if (x11.empty() && wayland.empty()) return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    return "cannot open the display '" + (x11.empty() ? wayland : x11) + "'";
}

}  // namespace velk::platform
