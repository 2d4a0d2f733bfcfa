// Settings translation time against the number of time literals: bench_settings
//
// Translates a settings text whose one expression string holds 10 000, then
// 200 000 "1:500" literals, and prints the time of each and their ratio. The
// translation is linear when the ratio stays near 20 (the count's ratio).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/errors.h"
#include "render/shader_settings.h"

using namespace velk;
using Clock = std::chrono::steady_clock;

namespace {

std::string SettingsWithTimes(int count) {
    std::string expression;
    expression.reserve(size_t(count) * 8);
    for (int i = 0; i < count; ++i) expression += i == 0 ? "1:500" : " + 1:500";
    return "{ \"Timing\": { \"SUM\": \"" + expression + "\" } }";
}

// The fastest of a few runs, in milliseconds.
double TranslateMs(int count, int runs) {
    std::string text = SettingsWithTimes(count);
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        std::string hlsl = ShaderSettings::ToHlsl(text);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (hlsl.find("1.5 + 1.5") == std::string::npos) {
            std::fprintf(stderr, "the literals were not translated\n");
            std::exit(1);
        }
        best = std::min(best, ms);
    }
    return best;
}

}  // namespace

int main() {
    try {
        double small = TranslateMs(10000, 20);
        double large = TranslateMs(200000, 5);
        std::printf("settings with 10000 time literals: %.2f ms\n", small);
        std::printf("settings with 200000 time literals: %.2f ms\n", large);
        std::printf("ratio: %.1f (20 is linear)\n", large / small);
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
}
