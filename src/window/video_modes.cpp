#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "host/text.h"
#include "window/setup_dialog.h"

namespace velk {

namespace {
const ModeSize kFallbackSizes[] = {{1280, 720}, {1600, 900}, {1920, 1080}, {2560, 1440}, {3840, 2160}};

struct Ratio {
    const char* Label;
    double Value;
};
const Ratio kRatios[] = {
    {"16:9", 16.0 / 9.0}, {"16:10", 1.6}, {"4:3", 4.0 / 3.0}, {"5:4", 1.25}, {"21:9", 64.0 / 27.0}, {"32:9", 32.0 / 9.0},
};

}  // namespace

std::vector<ModeSize> SetupDialog::ListVideoModes(int32_t screenWidth, int32_t screenHeight) {
    return ListVideoModesFrom(platform::QueryDisplayModes, screenWidth, screenHeight);
}

std::vector<ModeSize> SetupDialog::ListVideoModesFrom(const std::function<std::vector<ModeSize>()>& query,
                                                      int32_t screenWidth, int32_t screenHeight) {
    std::vector<ModeSize> list;
    try {
        list = query();
    } catch (...) {
        // Any failure of the display query: the fixed sizes instead, nothing reported.
        list.assign(std::begin(kFallbackSizes), std::end(kFallbackSizes));
    }
    list.emplace_back(screenWidth, screenHeight);
    std::vector<ModeSize> kept;
    for (const ModeSize& m : list)
        if (m.first >= 800 && std::find(kept.begin(), kept.end(), m) == kept.end()) kept.push_back(m);
    std::stable_sort(kept.begin(), kept.end(), [](const ModeSize& a, const ModeSize& b) {
        int32_t areaA = static_cast<int32_t>(static_cast<uint32_t>(a.first) * static_cast<uint32_t>(a.second));
        int32_t areaB = static_cast<int32_t>(static_cast<uint32_t>(b.first) * static_cast<uint32_t>(b.second));
        if (areaA != areaB) return areaA > areaB;
        return a.first > b.first;
    });
    return kept;
}

std::string SetupDialog::AspectLabel(int32_t width, int32_t height) {
    double r = static_cast<double>(width) / static_cast<double>(height);
    for (const Ratio& ratio : kRatios)
        if (std::fabs(r - ratio.Value) < 0.02) return ratio.Label;
    return text::FixedDecimals(r, 2) + ":1";
}

std::string SetupDialog::EntryText(int32_t width, int32_t height) {
    return std::to_string(width) + " \xC3\x97 " + std::to_string(height) + "  (" + AspectLabel(width, height) + ")";
}

int32_t SetupDialog::R(float scale, float v) {
    float product = v * scale;
    return static_cast<int32_t>(std::nearbyint(product));  // default rounding: ties to even
}

VideoMode SetupDialog::StartResult(const std::vector<ModeSize>& modes, int selection, bool windowed,
                                   int32_t screenWidth, int32_t screenHeight) {
    if (modes.empty()) return VideoMode{screenWidth, screenHeight, true};
    size_t i = static_cast<size_t>(std::max(selection, 0));
    if (i >= modes.size()) i = 0;
    return VideoMode{modes[i].first, modes[i].second, windowed};
}

int SetupDialog::DefaultSelection(const std::vector<ModeSize>& modes, int32_t screenWidth, int32_t screenHeight) {
    for (size_t i = 0; i < modes.size(); ++i)
        if (modes[i] == ModeSize(screenWidth, screenHeight)) return static_cast<int>(i);
    return 0;
}

}  // namespace velk
