// Frame time of the demo shader: bench_renderer <source root>
//
// Draws the current "Shaders/demo.hlsl" of the source tree with Renderer::DrawScene at 1280 x 720 and 1920 x 1080, at
// moments spread over the whole show, and prints the mean and the slowest frame
// per size. Each measurement waits for the GPU through a one-pixel read-back.
// The twenty textures are made from the tree's assets, as the host does.
// Needs an X display (xvfb-run).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>
#include <string>
#include <vector>

#include "host/content.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/renderer.h"

using namespace velk;
using Clock = std::chrono::steady_clock;

namespace {

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Waits for every draw so far: a one-pixel draw read back.
void Finish(Renderer& r) {
    r.EndTimes.reset();
    (void)r.DemoEnd();
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
        auto loadStart = Clock::now();
        Renderer renderer(0, 1, 1);
        std::printf("shader load (3 entry points): %.0f ms\n", Milliseconds(Clock::now() - loadStart));
        std::vector<uint8_t> font = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
        TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, font);
        renderer.TextureViews = textures.SlotOrder();
        float end = renderer.DemoEnd();
        if (!std::isfinite(end)) end = 60;
        std::printf("demo end: %.3f s\n", end);

        const int kMoments = 24;
        const int kRepeats = 3;
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
            gpu::Texture2DDesc desc;
            desc.Width = static_cast<uint32_t>(w);
            desc.Height = static_cast<uint32_t>(h);
            desc.BindFlags = gpu::BindRenderTarget;
            auto target = renderer.Device->CreateTexture2D(desc);
            auto view = renderer.Device->CreateRenderTargetView(target);

            auto warm = Clock::now();
            renderer.DrawScene(renderer.PixelShader.get(), view.get(), w, h, 1.0f);
            Finish(renderer);
            double first = Milliseconds(Clock::now() - warm);

            std::vector<double> times;
            for (int i = 0; i < kMoments; ++i) {
                float t = end * (static_cast<float>(i) + 0.5f) / kMoments;
                auto start = Clock::now();
                for (int k = 0; k < kRepeats; ++k)
                    renderer.DrawScene(renderer.PixelShader.get(), view.get(), w, h, t);
                Finish(renderer);
                times.push_back(Milliseconds(Clock::now() - start) / kRepeats);
            }
            double mean = 0;
            for (double t : times) mean += t;
            mean /= static_cast<double>(times.size());
            double worst = *std::max_element(times.begin(), times.end());
            std::printf("%dx%d: mean %.1f ms, slowest %.1f ms (first draw %.0f ms, %d moments x %d)\n", w, h, mean,
                        worst, first, kMoments, kRepeats);
        }
        renderer.TextureViews.clear();
        textures.Release();
        renderer.Dispose();
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
}
