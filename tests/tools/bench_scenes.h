// The demo's scenes as time windows, for the benchmarks: each scene's start on
// the demo clock, from the settings file and the scroll texts' sizes, the last one
// ending at the demo's end.
#pragma once

#include <string>
#include <vector>

#include "../unit/demo_timeline.h"
#include "render/renderer.h"

namespace velk::bench {

struct Scene {
    const char* Name;
    double From, To;
};

// The renderer needs its texture table bound (the scroll texts' sizes).
inline std::vector<Scene> Scenes(Renderer& renderer, const std::string& settings) {
    test::DemoTimeline timeline(settings);
    auto size = [&](int slot) { return renderer.TextureViews[slot]->Resource()->GetDesc(); };
    const double finale = timeline.End(size(8).Width, size(8).Height, size(9).Height, size(10).Height).PlasmaOutStart +
                          timeline.Value("PLASMA_OUT");
    std::vector<Scene> scenes = {
        {"intro", 0.0, 0},
        {"tiles", timeline.Expression("ROTO_START"), 0},
        {"crew", timeline.Expression("CREW_START") + timeline.Value("CREW_FADE"), 0},
        {"tunnel", timeline.Expression("TUNNEL_START"), 0},
        {"plasma", timeline.Expression("PLASMA_START"), 0},
        {"finale", finale, 0},
    };
    for (size_t i = 0; i < scenes.size(); ++i)
        scenes[i].To = i + 1 < scenes.size() ? scenes[i + 1].From : static_cast<double>(renderer.DemoEnd());
    return scenes;
}

}  // namespace velk::bench
