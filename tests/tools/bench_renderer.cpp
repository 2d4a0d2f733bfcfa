// Frame cost of the demo shader: bench_renderer <source root>
//
// Compares, interleaved frame by frame so that a machine whose load drifts slows
// both alike, the pixel shader compiled as it is (one program for the whole show,
// VELK_GL_SPECIALIZE=0) with the GPU layer's specialised one (a program per
// combination of the shader's branches on the time, picked at each draw):
// - load: compiling PSMain, creating the shader and drawing its first frame;
// - per scene at 1280 x 720 and 1920 x 1080: wall and CPU milliseconds a frame
//   (CPU time of the whole process, so the driver's drawing threads count), and
//   the time-weighted cost of the show;
// - interactive play across each cue of the shader's branches, with a freshly
//   loaded shader: the longest frame within ten frames either side of the cue.
// Each frame waits for the GPU through a one-pixel read-back. The twenty textures
// are made from the tree's assets, as the host does. Needs an X display.
#include <time.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench_scenes.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/renderer.h"
#include "render/shader_settings.h"
#include "render/gl/spirv_specialize_gl.h"

using namespace velk;
using Clock = std::chrono::steady_clock;

namespace {

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double CpuMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Waits for every draw so far: a one-pixel draw read back.
void Finish(Renderer& r) {
    r.EndTimes.reset();
    (void)r.DemoEnd();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Cost {
    double Wall = 0, Cpu = 0;
};

struct Target {
    int Width, Height;
    std::shared_ptr<gpu::Texture2D> Texture;
    std::shared_ptr<gpu::RenderTargetView> View;
};

Target MakeTarget(Renderer& r, int width, int height) {
    gpu::Texture2DDesc desc;
    desc.Width = static_cast<uint32_t>(width);
    desc.Height = static_cast<uint32_t>(height);
    desc.BindFlags = gpu::BindRenderTarget;
    auto texture = r.Device->CreateTexture2D(desc);
    return {width, height, texture, r.Device->CreateRenderTargetView(texture)};
}

Cost Frame(Renderer& r, gpu::PixelShader& shader, const Target& target, float time) {
    double cpu = CpuMilliseconds();
    auto start = Clock::now();
    r.DrawScene(&shader, target.View.get(), target.Width, target.Height, time);
    Finish(r);
    return {Milliseconds(Clock::now() - start), CpuMilliseconds() - cpu};
}

std::vector<uint8_t> CompilePixelShader(const std::string& source, bool specialise) {
    if (!specialise) setenv("VELK_GL_SPECIALIZE", "0", 1);
    auto code = Renderer::Compile(source, "PSMain", "ps_5_0", std::nullopt);
    unsetenv("VELK_GL_SPECIALIZE");
    if (!code) throw InvalidOperationException("Could not compile Shaders/demo.hlsl");
    return *code;
}

// The times at which the specialised shader changes program: the constants its
// conditions compare the time (offset 8 of the constant buffer) with.
std::vector<float> Cues(const std::vector<uint8_t>& code) {
    std::istringstream lines(std::string(code.begin(), code.end()));
    gpu::Specialization header;
    for (std::string line; std::getline(lines, line) && !line.empty();) header.ReadLine(line);
    std::vector<float> cues;
    for (const gpu::UniformCondition& condition : header.Conditions)
        if (condition.Offset == 8) cues.push_back(std::bit_cast<float>(condition.Constant));
    std::sort(cues.begin(), cues.end());
    cues.erase(std::unique(cues.begin(), cues.end()), cues.end());
    return cues;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc != 2) {
            std::fprintf(stderr, "usage: bench_renderer <source root>\n");
            return 2;
        }
        std::string root = argv[1];
        Content::InitializeForTest(root, EmbeddedStore());
        Renderer renderer(0, 1, 1);
        std::vector<uint8_t> font = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
        TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, font);
        renderer.TextureViews = textures.SlotOrder();
        const float end = renderer.DemoEnd();
        const std::string settings = Content::ReadText("Shaders/demo.hlsl.json");
        const std::string source = ShaderSettings::Apply(Content::ReadText("Shaders/demo.hlsl"), settings);
        Target small = MakeTarget(renderer, 1280, 720);

        // Load: compile, create, first frame; three rounds of both, alternating.
        std::shared_ptr<gpu::PixelShader> shaders[2];
        std::vector<double> load[2];
        std::vector<uint8_t> specialisedCode;
        for (int round = 0; round < 3; ++round)
            for (int s = 0; s < 2; ++s) {
                shaders[s].reset();
                auto start = Clock::now();
                std::vector<uint8_t> code = CompilePixelShader(source, s == 1);
                shaders[s] = renderer.Device->CreatePixelShader(code);
                Frame(renderer, *shaders[s], small, 1.0f);
                load[s].push_back(Milliseconds(Clock::now() - start));
                if (s == 1) specialisedCode = code;
            }
        std::printf("demo end %.3f s\n", end);
        std::printf("load (compile PSMain, create, first 1280x720 frame; median of 3, warm Mesa cache): "
                    "single program %.0f ms, specialised %.0f ms (ratio %.2f)\n",
                    Median(load[0]), Median(load[1]), Median(load[1]) / Median(load[0]));
        std::fflush(stdout);

        // The scenes' windows.
        std::vector<bench::Scene> scenes = bench::Scenes(renderer, settings);

        const int kMoments = 3, kRepeats = 2;
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
            Target target = MakeTarget(renderer, w, h);
            Frame(renderer, *shaders[0], target, 1.0f);
            Frame(renderer, *shaders[1], target, 1.0f);
            std::printf("%dx%d, per frame: single program | specialised | ratio (CPU)\n", w, h);
            double weighted[2][2] = {{0, 0}, {0, 0}};
            for (const bench::Scene& scene : scenes) {
                const double from = scene.From, to = scene.To;
                std::vector<double> wall[2], cpu[2];
                for (int m = 0; m < kMoments; ++m) {
                    float t = static_cast<float>(from + (to - from) * (m + 0.5) / kMoments);
                    for (int k = 0; k < kRepeats; ++k)
                        for (int s = 0; s < 2; ++s) {
                            Cost c = Frame(renderer, *shaders[s], target, t);
                            wall[s].push_back(c.Wall);
                            cpu[s].push_back(c.Cpu);
                        }
                }
                double mean[2][2];
                for (int s = 0; s < 2; ++s) {
                    mean[s][0] = 0, mean[s][1] = 0;
                    for (double v : wall[s]) mean[s][0] += v / wall[s].size();
                    for (double v : cpu[s]) mean[s][1] += v / cpu[s].size();
                    weighted[s][0] += mean[s][0] * (to - from);
                    weighted[s][1] += mean[s][1] * (to - from);
                }
                std::printf("  %-7s %5.1f-%5.1f s: %7.1f ms wall %7.1f ms CPU | %6.1f ms wall %6.1f ms CPU | %.2f\n",
                            scene.Name, from, to, mean[0][0], mean[0][1], mean[1][0], mean[1][1],
                            mean[1][1] / mean[0][1]);
                std::fflush(stdout);
            }
            std::printf("  time-weighted over the show: single %.1f ms wall %.1f ms CPU, specialised %.1f ms wall "
                        "%.1f ms CPU: ratio %.2f (CPU), %.2f (wall)\n",
                        weighted[0][0] / end, weighted[0][1] / end, weighted[1][0] / end, weighted[1][1] / end,
                        weighted[1][1] / weighted[0][1], weighted[1][0] / weighted[0][0]);
            std::fflush(stdout);
        }

        // Interactive play across the cues at 1280 x 720 and 60 frames a second, with
        // a freshly loaded specialised shader (its variants compiling meanwhile).
        // The finale's start is a cue too: the specialised shader changes program
        // there by a moment computed from the scroll texts' sizes.
        std::vector<float> cues = Cues(specialisedCode);
        cues.push_back(static_cast<float>(scenes.back().From));
        std::sort(cues.begin(), cues.end());
        shaders[1].reset();
        shaders[1] = renderer.Device->CreatePixelShader(CompilePixelShader(source, true));
        auto start = Clock::now();
        Frame(renderer, *shaders[1], small, 0.5f);
        std::printf("fresh specialised shader: first frame %.0f ms; %zu cues\n", Milliseconds(Clock::now() - start),
                    cues.size());
        for (float cue : cues) {
            std::vector<double> times[2];
            for (int f = -10; f <= 10; ++f) {
                float t = cue + static_cast<float>(f) / 60.0f;
                for (int s = 0; s < 2; ++s) times[s].push_back(Frame(renderer, *shaders[s], small, t).Wall);
            }
            std::printf("  cue %7.3f s: longest frame single %.1f ms (median %.1f), specialised %.1f ms (median %.1f)\n",
                        cue, *std::max_element(times[0].begin(), times[0].end()), Median(times[0]),
                        *std::max_element(times[1].begin(), times[1].end()), Median(times[1]));
            std::fflush(stdout);
        }

        shaders[0].reset();
        shaders[1].reset();
        renderer.TextureViews.clear();
        textures.Release();
        renderer.Dispose();
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
