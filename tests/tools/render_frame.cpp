// Draws frames of the demo shader of a source tree offscreen and writes them as
// PNG files:
//   render_frame [options] <source root> <time in seconds> <width> <height> <out.png>
//                [<time> <out.png>]...
// Further moments are drawn at the same size by the same renderer, so the shader
// is compiled once.
//
// The shader and its settings are read from <source root>/Shaders; the frame is
// drawn with Renderer::DrawScene into a target of its own, as the recorder does,
// and read back top row first, with the twenty textures the host makes from the
// tree's font and graphics. The end time and the textures' pixel sizes are
// printed on standard output.
//
// Options, for comparing the platforms' drawing (tests/unit/texture_files.h has
// the texture files' format; each file is <name>.tex, named as in the shader):
//   --textures-to DIR    writes the twenty textures made, with every mip level
//   --textures-from DIR  draws with the textures of those files instead of making
//                        them (the 2D layers are then not used at all)
//   --trilinear          samples the scene's textures trilinearly instead of with
//                        the demo's anisotropic filter, whose footprint the
//                        platforms' GPUs choose differently
//
// Builds for Linux and Windows. Needs an X display (xvfb-run) on Linux. Exit status
// 1 with the error on standard error, 2 for a bad command line.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../unit/png_encode.h"
#include "../unit/scene_frames.h"
#include "../unit/texture_files.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/process.h"
#include "host/texture_table.h"
#include "render/renderer.h"

using namespace velk;

namespace {

template <class T>
T Parse(const std::string& text, const char* what) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) throw FormatException(std::string("bad ") + what + ": " + text);
    return value;
}

std::string TextureFile(const std::string& folder, const TextureEntry& entry) {
    return folder + "/" + entry.Name + ".tex";
}

void WritePng(const std::string& path, const std::vector<uint8_t>& bgra, uint32_t width, uint32_t height) {
    std::vector<uint8_t> png = testing::EncodePng(width, height, false, [&](uint32_t x, uint32_t y) {
        const uint8_t* p = bgra.data() + (size_t(y) * width + x) * 4;
        return testing::Rgba{p[2], p[1], p[0], 255};
    });
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) throw IOException("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args = process::Start(argc, argv);
        std::optional<std::string> texturesTo, texturesFrom;
        bool trilinear = false;
        size_t next = 0;
        for (; next < args.size() && args[next].starts_with("--"); ++next) {
            if (args[next] == "--trilinear") {
                trilinear = true;
            } else if ((args[next] == "--textures-to" || args[next] == "--textures-from") && next + 1 < args.size()) {
                (args[next] == "--textures-to" ? texturesTo : texturesFrom) = args[next + 1];
                ++next;
            } else {
                next = args.size();  // the usage below
            }
        }
        const size_t positional = args.size() - std::min(next, args.size());
        if (positional < 5 || positional % 2 != 1) {
            std::fprintf(stderr,
                         "usage: render_frame [--textures-to DIR] [--textures-from DIR] [--trilinear] <source root> "
                         "<time> <width> <height> <out.png> [<time> <out.png>]...\n");
            return 2;
        }
        Content::InitializeForTest(args[next], EmbeddedStore());
        std::vector<std::pair<float, std::string>> frames{{Parse<float>(args[next + 1], "time"), args[next + 4]}};
        for (size_t i = next + 5; i + 1 < args.size(); i += 2)
            frames.emplace_back(Parse<float>(args[i], "time"), args[i + 1]);
        int32_t width = Parse<int32_t>(args[next + 2], "width");
        int32_t height = Parse<int32_t>(args[next + 3], "height");
        if (width < 1 || height < 1) throw FormatException("the size must be at least 1 x 1");

        Renderer renderer(0, 1, 1);
        if (trilinear) {
            gpu::SamplerDesc desc;
            desc.Filter = gpu::FilterMode::MinMagMipLinear;
            renderer.SceneSampler = renderer.Device->CreateSamplerState(desc);
        }
        TextureTable textures;
        if (texturesFrom) {
            textures = TextureTable::Make([&](const TextureEntry& entry) {
                return test::Upload(*renderer.Device, *renderer.Context,
                                    test::ReadTextureFile(TextureFile(*texturesFrom, entry)));
            });
        } else {
            std::vector<uint8_t> font = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
            textures = TextureTable::Make(*renderer.Device, *renderer.Context, font);
        }
        renderer.TextureViews = textures.SlotOrder();
        if (texturesTo) {
            for (const TextureEntry& entry : TextureTable::CreationOrder())
                test::WriteTextureFile(TextureFile(*texturesTo, entry),
                                       test::ReadLevels(*renderer.Device, *renderer.Context,
                                                        *renderer.TextureViews[entry.Slot]));
        }
        std::printf("end %.4f, final fade %.4f\n", renderer.DemoEnd(), renderer.FinalFadeStart());
        // The pixel size of each texture, from which the shader takes on-screen sizes.
        for (const TextureEntry& entry : TextureTable::CreationOrder()) {
            gpu::Texture2DDesc made = renderer.TextureViews[entry.Slot]->Resource()->GetDesc();
            std::printf("texture %s %ux%u\n", entry.Name, made.Width, made.Height);
        }
        std::fflush(stdout);
        {
            test::SceneFrames scene(renderer, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
            for (const auto& [time, path] : frames)
                WritePng(path, scene.Draw(*renderer.PixelShader, time), uint32_t(width), uint32_t(height));
        }
        renderer.TextureViews.clear();
        textures.Release();
        renderer.Dispose();
        std::fflush(stdout);
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
}
