// The texture maker: turns the SVG logo, the PNG pictures and texts set in the
// demo's font into mip-mapped, premultiplied B8G8R8A8 textures for the shader.
//
// Every texture is drawn through RenderToTexture: a paint callback draws with the
// 2D layer (textures/canvas.h) into a cleared transparent picture of a whole-pixel
// size, which is copied into a texture with its full mip chain. Each call returns
// a new shader-resource view that the caller owns; nothing is kept between calls.
// The size arithmetic here is portable and exact: the shader reads the textures'
// sizes, and the scroll texts' sizes decide when the demo ends.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "textures/canvas.h"

namespace velk {

namespace gpu {
class ShaderResourceView;
}

class Textures {
public:
    using View = std::shared_ptr<gpu::ShaderResourceView>;

    // A viewBox size in the SVG's user units.
    struct ViewBoxSize {
        double Width = 0;
        double Height = 0;
    };
    // A texture size in pixels (whole numbers where the callers pass them).
    struct TextureSize {
        float Width = 0;
        float Height = 0;
    };
    // Where a text is drawn in its texture and how large the texture is.
    struct TextPlacement {
        float OriginX = 0;
        float OriginY = 0;
        float Width = 0;
        float Height = 0;
    };
    // A laid-out text with its placement (the layout shrunk to the text and aligned).
    struct TextBlock {
        std::unique_ptr<canvas::TextFormat> Format;
        std::unique_ptr<canvas::TextLayout> Layout;  // released before the format
        TextPlacement Placement;
    };

    // Draws with `paint` into a fresh transparent picture of the size cut to whole
    // pixels and returns a view over a copy of it with the full mip chain. A size
    // of 0 or above the device's largest texture dimension fails at the texture's
    // creation (ComException).
    static View RenderToTexture(gpu::Device& device, gpu::DeviceContext& context, float width, float height,
                                const canvas::PaintCallback& paint);
    // Truncation toward zero to an unsigned 32-bit number: negative or NaN gives 0,
    // 2^32 or more gives 4294967295.
    static uint32_t ToWholePixels(float value);

    // A raster image (PNG, JPEG, BMP, GIF, ...) drawn pixel for pixel at its own size.
    static View FromImage(gpu::Device& device, gpu::DeviceContext& context, std::span<const uint8_t> bytes);
    static void PaintImage(canvas::Canvas& canvas, const canvas::Image& image);

    // The SVG drawn at the size FitSvgSize finds for its viewBox and `height`.
    static View FromSvg(gpu::Device& device, gpu::DeviceContext& context, std::span<const uint8_t> bytes,
                        int32_t height);
    static void PaintSvg(canvas::Canvas& canvas, std::span<const uint8_t> bytes, TextureSize size);
    // Width and height of the first viewBox="..." in the text. Raises
    // InvalidDataException "The SVG has no viewBox.", FormatException for a piece
    // that is no number, IndexOutOfRangeException for fewer than four numbers.
    static ViewBoxSize ReadViewBoxSize(std::span<const uint8_t> bytes);
    // The smallest height from `height` up to 1.5 x `height` at which the aspect
    // ratio gives a whole width (within 0.001); otherwise the rounded width at `height`.
    static TextureSize FitSvgSize(ViewBoxSize viewBox, int32_t height);
    // A decimal number with "." as decimal point, optional surrounding white space,
    // sign and exponent; anything else raises FormatException.
    static double ParseInvariant(std::string_view text);

    // A text (lines separated by line feeds) in the font of the font file, opaque
    // white on transparent black, in a texture just large enough for its ink and a
    // margin of 0.1 x the font size. Alignment: 0 leading, 1 trailing, 2 centre.
    static View FromText(gpu::Device& device, gpu::DeviceContext& context, const std::string& text,
                         std::span<const uint8_t> fontBytes, float fontSize, float lineSpacing, int32_t alignment);
    // Raises InvalidDataException "No usable font in the font file." when the bytes
    // hold no font family.
    static std::unique_ptr<canvas::FontCollection> LoadFontCollection(canvas::TextFactory& factory,
                                                                      std::span<const uint8_t> fontBytes);
    // Takes over the collection and releases it before returning.
    static View RenderText(gpu::Device& device, gpu::DeviceContext& context, canvas::TextFactory& factory,
                           std::unique_ptr<canvas::FontCollection> collection, const std::string& text, float fontSize,
                           float lineSpacing, int32_t alignment);
    // The layout of RenderText in family 0 of the collection: unwrapped, with
    // proportional line spacing (baseline 0.8 x the spacing), shrunk to the text,
    // then aligned, with its placement.
    static TextBlock LayOutText(canvas::TextFactory& factory, const canvas::FontCollection& collection,
                                const std::string& text, float fontSize, float lineSpacing, int32_t alignment);
    // Origin and texture size from the overhangs (negative ones count as 0) and the
    // layout's width (without trailing white space) and height; single-precision
    // sums in a fixed order, rounded up.
    static TextPlacement PlaceText(float fontSize, const canvas::OverhangMetrics& overhangs, float width,
                                   float height);
    static void PaintText(canvas::Canvas& canvas, const canvas::TextLayout& layout, float originX, float originY);
};

}  // namespace velk
