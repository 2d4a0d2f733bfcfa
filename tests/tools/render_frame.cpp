// Draws frames of the demo shader of a source tree offscreen and writes them as
// PNG files: render_frame <source root> <time in seconds> <width> <height> <out.png>
// [<time> <out.png>]... (further moments at the same size, drawn by the same
// renderer, so the shader is compiled once).
//
// The shader and its settings are read from <source root>/Shaders; the frame is
// drawn with Renderer::DrawScene into a target of its own, as the recorder does,
// and read back top row first, with the twenty textures the host makes from the
// tree's font and graphics. The end time and the textures' pixel sizes are
// printed on standard output.
// Needs an X display (xvfb-run). Exit status 1 with the error on standard error.
#include <cairo.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../unit/scene_frames.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/renderer.h"

using namespace velk;

namespace {

template <class T>
T Parse(const char* text, const char* what) {
    T value{};
    const char* end = text + std::strlen(text);
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end) throw FormatException(std::string("bad ") + what + ": " + text);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: render_frame <source root> <time> <width> <height> <out.png> [<time> <out.png>]...\n");
        return 2;
    }
    try {
        Content::InitializeForTest(std::string(argv[1]), EmbeddedStore());
        std::vector<std::pair<float, const char*>> frames{{Parse<float>(argv[2], "time"), argv[5]}};
        for (int i = 6; i + 1 < argc; i += 2) frames.emplace_back(Parse<float>(argv[i], "time"), argv[i + 1]);
        int32_t width = Parse<int32_t>(argv[3], "width");
        int32_t height = Parse<int32_t>(argv[4], "height");
        if (width < 1 || height < 1) throw FormatException("the size must be at least 1 x 1");

        Renderer renderer(0, 1, 1);
        std::vector<uint8_t> font = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
        TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, font);
        renderer.TextureViews = textures.SlotOrder();
        std::printf("end %.4f, final fade %.4f\n", renderer.DemoEnd(), renderer.FinalFadeStart());
        // The pixel size of each texture, from which the shader takes on-screen sizes.
        for (const TextureEntry& entry : TextureTable::CreationOrder()) {
            gpu::Texture2DDesc made = renderer.TextureViews[entry.Slot]->Resource()->GetDesc();
            std::printf("texture %s %ux%u\n", entry.Name, made.Width, made.Height);
        }
        std::fflush(stdout);
        {
            test::SceneFrames scene(renderer, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
            for (const auto& [time, path] : frames) {
                std::vector<uint8_t> bytes = scene.Draw(*renderer.PixelShader, time);
                cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
                cairo_surface_flush(surface);
                unsigned char* pixels = cairo_image_surface_get_data(surface);
                int stride = cairo_image_surface_get_stride(surface);
                for (int32_t row = 0; row < height; ++row) {
                    std::memcpy(pixels + size_t(row) * stride, bytes.data() + size_t(row) * width * 4, size_t(width) * 4);
                    for (int32_t x = 0; x < width; ++x) pixels[size_t(row) * stride + size_t(x) * 4 + 3] = 255;
                }
                cairo_surface_mark_dirty(surface);
                cairo_status_t status = cairo_surface_write_to_png(surface, path);
                cairo_surface_destroy(surface);
                if (status != CAIRO_STATUS_SUCCESS)
                    throw IOException(std::string("cannot write ") + path + ": " + cairo_status_to_string(status));
            }
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
