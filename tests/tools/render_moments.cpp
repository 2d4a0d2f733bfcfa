// Draws several moments of the demo shader of a source tree offscreen, with one
// renderer and one shader load for all of them, and writes each frame to a file:
//   render_moments <source root> <width> <height> <time>=<out file> ...
// A file name ending in ".ppm" gets a binary PPM (easy to read back in tests),
// any other a PNG. The frames are drawn with Renderer::DrawScene into a target of
// their own, as the recorder does, with the host's twenty textures made from the
// tree's assets, and read back top row first.
// Needs an X display (xvfb-run). Exit status 1 with the error on standard error.
#include <cairo.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/content.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/renderer.h"

using namespace velk;

namespace {

template <class T>
T Parse(std::string_view text, const char* what) {
    T value{};
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        throw FormatException(std::string("bad ") + what + ": " + std::string(text));
    return value;
}

struct Moment {
    float Time;
    std::string Path;
};

bool EndsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// rows: top first, 4 bytes a pixel (B, G, R, unused), rowPitch bytes apart.
void WritePpm(const std::string& path, const uint8_t* rows, size_t rowPitch, int32_t width, int32_t height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw IOException("cannot write " + path);
    std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> line(size_t(width) * 3);
    bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    for (int32_t y = 0; ok && y < height; ++y) {
        const uint8_t* row = rows + size_t(y) * rowPitch;
        for (int32_t x = 0; x < width; ++x) {
            line[size_t(x) * 3 + 0] = row[size_t(x) * 4 + 2];
            line[size_t(x) * 3 + 1] = row[size_t(x) * 4 + 1];
            line[size_t(x) * 3 + 2] = row[size_t(x) * 4 + 0];
        }
        ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    }
    if (std::fclose(file) != 0 || !ok) throw IOException("cannot write " + path);
}

void WritePng(const std::string& path, const uint8_t* rows, size_t rowPitch, int32_t width, int32_t height) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_surface_flush(surface);
    unsigned char* pixels = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    for (int32_t y = 0; y < height; ++y) {
        std::memcpy(pixels + size_t(y) * stride, rows + size_t(y) * rowPitch, size_t(width) * 4);
        for (int32_t x = 0; x < width; ++x) pixels[size_t(y) * stride + size_t(x) * 4 + 3] = 255;
    }
    cairo_surface_mark_dirty(surface);
    cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) throw IOException("cannot write " + path + ": " + cairo_status_to_string(status));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: render_moments <source root> <width> <height> <time>=<out file> ...\n");
        return 2;
    }
    try {
        Content::InitializeForTest(std::string(argv[1]), EmbeddedStore());
        int32_t width = Parse<int32_t>(argv[2], "width");
        int32_t height = Parse<int32_t>(argv[3], "height");
        if (width < 1 || height < 1) throw FormatException("the size must be at least 1 x 1");
        std::vector<Moment> moments;
        for (int i = 4; i < argc; ++i) {
            std::string_view arg = argv[i];
            size_t eq = arg.find('=');
            if (eq == std::string_view::npos || eq + 1 == arg.size())
                throw FormatException("expected <time>=<out file>: " + std::string(arg));
            moments.push_back({Parse<float>(arg.substr(0, eq), "time"), std::string(arg.substr(eq + 1))});
        }

        std::vector<uint8_t> fontBytes = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
        Renderer renderer(0, 1, 1);
        TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, fontBytes);
        renderer.TextureViews = textures.SlotOrder();
        gpu::Texture2DDesc desc;
        desc.Width = static_cast<uint32_t>(width);
        desc.Height = static_cast<uint32_t>(height);
        desc.BindFlags = gpu::BindRenderTarget;
        auto target = renderer.Device->CreateTexture2D(desc);
        auto view = renderer.Device->CreateRenderTargetView(target);
        desc.Usage = gpu::ResourceUsage::Staging;
        desc.BindFlags = gpu::BindNone;
        desc.CpuAccessFlags = gpu::CpuAccessRead;
        auto staging = renderer.Device->CreateTexture2D(desc);

        for (const Moment& moment : moments) {
            renderer.DrawScene(renderer.PixelShader.get(), view.get(), width, height, moment.Time);
            renderer.Context->CopyResource(*staging, *target);
            auto mapped = renderer.Context->Map(*staging, 0, gpu::MapType::Read);
            const uint8_t* rows = static_cast<const uint8_t*>(mapped.Data);
            try {
                if (EndsWith(moment.Path, ".ppm"))
                    WritePpm(moment.Path, rows, mapped.RowPitch, width, height);
                else
                    WritePng(moment.Path, rows, mapped.RowPitch, width, height);
            } catch (...) {
                renderer.Context->Unmap(*staging, 0);
                throw;
            }
            renderer.Context->Unmap(*staging, 0);
        }

        staging.reset();
        view.reset();
        target.reset();
        renderer.TextureViews.clear();
        textures.Release();
        renderer.Dispose();
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
}
