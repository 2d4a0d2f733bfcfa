// The setup dialog shown before the demo window: a resolution list, a "Windowed"
// check box, and Start / Quit. Its list logic (display modes, aspect labels, entry
// texts, DPI scaling) is portable; the dialog window itself is a platform layer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "window/video_mode.h"

namespace velk {

using ModeSize = std::pair<int32_t, int32_t>;  // (Width, Height)

class SetupDialog {
public:
    // Runs the dialog until it is closed: the chosen mode, or none when cancelled.
    // Raises InvalidOperationException when it cannot be shown (no display).
    static std::optional<VideoMode> Show(const std::vector<uint8_t>& fontBytes);

    // The dialog's resolution entries for a screen size, largest first.
    static std::vector<ModeSize> ListVideoModes(int32_t screenWidth, int32_t screenHeight);
    // The same with a given display query (which may raise: then the fallback sizes apply).
    static std::vector<ModeSize> ListVideoModesFrom(const std::function<std::vector<ModeSize>()>& query,
                                                    int32_t screenWidth, int32_t screenHeight);
    // "16:9", "21:9", ... or the ratio with two decimals and ":1".
    static std::string AspectLabel(int32_t width, int32_t height);
    // "1920 × 1080  (16:9)".
    static std::string EntryText(int32_t width, int32_t height);
    // v × scale in single precision, rounded to nearest with ties to even.
    static int32_t R(float scale, float v);
    // The mode Start returns: the selected entry (no selection takes entry 0); for an
    // empty list the screen size, windowed.
    static VideoMode StartResult(const std::vector<ModeSize>& modes, int selection, bool windowed,
                                 int32_t screenWidth, int32_t screenHeight);
    // Index of the first entry equal to the screen size, else 0.
    static int DefaultSelection(const std::vector<ModeSize>& modes, int32_t screenWidth, int32_t screenHeight);
};

namespace platform {
// Every display mode size of the primary display, in the display's order (sizes
// repeat across refresh rates). Raises when the display cannot be queried.
std::vector<ModeSize> QueryDisplayModes();
// Why no window can be shown: no display named, or the named one cannot be opened.
std::string NoDisplayReason();
}  // namespace platform

}  // namespace velk
