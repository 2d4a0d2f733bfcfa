// Recording throughput: bench_recorder <source root> [frames per scene]
//
// For each scene, at 1920 x 1080 and 1280 x 720 and 60 frames a second, the same
// run of frames (default 60, from a third into the scene) is drawn twice,
// alternately: render-only (the frames drawn one after another, then one wait for
// the GPU) and recorded with the demo's sound into a temporary file (the recorder made
// beforehand, its Dispose, which drains the encoders, counted). Prints both per
// frame and their ratio, the throughput of recording against drawing alone; and,
// from the per-scene costs, the projected time of recording the whole show at
// 1920 x 1080 and 60 frames a second. The twenty textures are made from the tree's
// assets, as the host does. Needs an X display and an audio device (scripts/bench
// runs it under Xvfb with OpenAL's null device).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_scenes.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "media/music.h"
#include "media/recorder.h"
#include "media/recorder_timing.h"
#include "render/renderer.h"

using namespace velk;
using Steady = std::chrono::steady_clock;

namespace {

double Since(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

// CPU seconds of the whole process so far (the driver's and the encoders' threads count).
double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Cost {
    double Wall, Cpu;  // seconds per frame
};

// Waits for every draw so far: a one-pixel draw read back.
void Finish(Renderer& r) {
    r.EndTimes.reset();
    (void)r.DemoEnd();
}

// Seconds per frame of drawing the frames alone, into two targets in turn: a
// software rasterizer drops a draw that the next one into the same target covers
// before anything reads it.
Cost RenderOnly(Renderer& renderer, gpu::RenderTargetView* const (&views)[2], int width, int height, int fps,
                int64_t first, int frames) {
    double cpu = CpuSeconds();
    auto start = Steady::now();
    for (int i = 0; i < frames; ++i)
        renderer.DrawScene(renderer.PixelShader.get(), views[i % 2], width, height, recording::Seconds(first + i, fps));
    Finish(renderer);
    return {Since(start) / frames, (CpuSeconds() - cpu) / frames};
}

// Seconds per frame of recording the frames, from the first draw to the complete file.
Cost Record(Renderer& renderer, Music* music, int width, int height, int fps, int64_t first, int frames) {
    std::string path = "/tmp/velk-bench-" + std::to_string(getpid()) + ".mp4";
    Cost cost{};
    {
        Recorder recorder(renderer, music, path, width, height, fps);
        recorder.FrameIndex = first;
        double cpu = CpuSeconds();
        auto start = Steady::now();
        for (int i = 0; i < frames; ++i) recorder.RecordFrame();
        recorder.Dispose();
        cost = {Since(start) / frames, (CpuSeconds() - cpu) / frames};
    }
    std::remove(path.c_str());
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) {
            std::fprintf(stderr, "usage: bench_recorder <source root> [frames per scene]\n");
            return 2;
        }
        Content::InitializeForTest(std::string(argv[1]), EmbeddedStore());
        const int frames = argc > 2 ? std::atoi(argv[2]) : 60;
        const int fps = 60;
        Renderer renderer(0, 1, 1);
        std::vector<uint8_t> font = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
        TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, font);
        renderer.TextureViews = textures.SlotOrder();
        std::unique_ptr<Music> music = Music::Load("Artifacts/Audio");
        std::vector<bench::Scene> scenes = bench::Scenes(renderer, Content::ReadText("Shaders/demo.hlsl.json"));
        const double end = scenes.back().To;

        for (auto [w, h] : {std::pair{1920, 1080}, std::pair{1280, 720}}) {
            gpu::Texture2DDesc desc;
            desc.Width = static_cast<uint32_t>(w);
            desc.Height = static_cast<uint32_t>(h);
            desc.BindFlags = gpu::BindRenderTarget;
            auto view = renderer.Device->CreateRenderTargetView(renderer.Device->CreateTexture2D(desc));
            auto other = renderer.Device->CreateRenderTargetView(renderer.Device->CreateTexture2D(desc));
            gpu::RenderTargetView* const views[2] = {view.get(), other.get()};
            std::printf("%dx%d at %d fps, %d frames a scene, per frame: render-only | recording | throughput ratio\n",
                        w, h, fps, frames);
            double drawn = 0, recorded = 0;
            for (const bench::Scene& scene : scenes) {
                const int64_t first = static_cast<int64_t>((scene.From + (scene.To - scene.From) / 3) * fps);
                renderer.DrawScene(renderer.PixelShader.get(), view.get(), w, h, recording::Seconds(first, fps));
                Finish(renderer);  // the scene's program is ready before timing
                Cost draw = RenderOnly(renderer, views, w, h, fps, first, frames);
                Cost record = Record(renderer, music.get(), w, h, fps, first, frames);
                drawn += draw.Wall * (scene.To - scene.From) * fps;
                recorded += record.Wall * (scene.To - scene.From) * fps;
                std::printf("  %-7s from %6.2f s: %6.1f ms (%6.1f CPU) | %6.1f ms (%6.1f CPU) | %.2f\n", scene.Name,
                            recording::Seconds(first, fps), 1000 * draw.Wall, 1000 * draw.Cpu, 1000 * record.Wall,
                            1000 * record.Cpu, draw.Wall / record.Wall);
                std::fflush(stdout);
            }
            std::printf("  whole show (%.1f s, %.0f frames): drawing %.1f min, recording %.1f min, ratio %.2f\n", end,
                        end * fps, drawn / 60, recorded / 60, drawn / recorded);
            std::fflush(stdout);
        }
        if (music) music->Dispose();
        renderer.TextureViews.clear();
        textures.Release();
        renderer.Dispose();
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
    return 0;
}
