// 2D layer: the drawing that the texture maker does into textures.
//
// A paint callback receives a Canvas that draws into a premultiplied B8G8R8A8
// picture of a whole-pixel size at 96 DPI, so one unit is one pixel. The canvas
// starts transparent black (0, 0, 0, 0) and offers the three kinds of drawing the
// texture maker needs:
// - an SVG document in a viewport, as SVG prescribes: a root without width and
//   height (or with percentages) takes the viewport (or that share of it), one
//   with an absolute width and height takes that size from the top left corner,
//   and the viewBox is scaled uniformly and centred into the root's box,
// - a decoded image at its own pixel size at the origin (nearest neighbour,
//   opacity 1; the image's resolution metadata plays no part),
// - a text layout in opaque white at a given origin.
//
// Text follows the DirectWrite model: a private font collection built from the
// bytes of a font file (nothing is installed), a text format (family, size, line
// spacing, wrapping), and a text layout over a layout box whose metrics and ink
// overhangs are those DirectWrite defines.
//
// Objects are plain C++ with an opaque implementation per platform
// (canvas_cairo.cpp on Linux). Failing platform calls raise ComException with a
// result code and a readable reason.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velk {
class ByteStream;
namespace gpu {
class Device;
class DeviceContext;
class Texture2D;
}  // namespace gpu
}  // namespace velk

namespace velk::canvas {

class Image;
class TextLayout;

// The drawing context handed to a paint callback; valid only during the callback.
class Canvas {
public:
    struct Impl;
    explicit Canvas(Impl& impl) : impl_(impl) {}
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Parses the SVG document in the stream and draws it into the viewport
    // (0, 0, width, height), sized by its root's width and height as above.
    void DrawSvg(const ByteStream& svg, float viewportWidth, float viewportHeight);
    // Draws the image at its own pixel size at the origin.
    void DrawImage(const Image& image);
    // Draws the layout with its top left corner at (x, y) in opaque white.
    void DrawTextLayout(const TextLayout& layout, float x, float y);

private:
    Impl& impl_;
};

using PaintCallback = std::function<void(Canvas&)>;

// Draws into the render-target texture (B8G8R8A8_UNORM, one mip level, width x
// height): the target is cleared to (0, 0, 0, 0), the callback is called once,
// drawing ends. Every drawing object is made for this call and gone when it
// returns. A failing end of drawing raises ComException.
void PaintIntoTexture(gpu::Device& device, gpu::DeviceContext& context, gpu::Texture2D& target, uint32_t width,
                      uint32_t height, const PaintCallback& paint);

// A picture in memory: premultiplied B, G, R, A bytes, rows top first.
struct Picture {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t RowPitch = 0;  // bytes from one row to the next
    std::vector<uint8_t> Pixels;
    const uint8_t* Texel(uint32_t x, uint32_t y) const { return Pixels.data() + size_t(y) * RowPitch + x * 4; }
};

// Draws into a picture in memory exactly as PaintIntoTexture draws into a texture
// (the same clear, the same callback contract).
Picture PaintPicture(uint32_t width, uint32_t height, const PaintCallback& paint);

// A decoded raster image, converted to premultiplied B8G8R8A8. Only its first
// frame is used. The format is recognised from the bytes (PNG, JPEG, BMP, GIF
// and the other common ones).
class Image {
public:
    struct Impl;
    // Decodes the stream's bytes; an unrecognised format raises ComException.
    static std::unique_ptr<Image> Decode(const ByteStream& stream);
    ~Image();
    uint32_t Width() const;
    uint32_t Height() const;
    Impl& Get() const { return *impl_; }

private:
    explicit Image(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The text factory with an in-memory font file loader registered on it for the
// factory's lifetime (the loader is unregistered when it goes).
class TextFactory {
public:
    struct Impl;
    TextFactory();
    ~TextFactory();
    TextFactory(const TextFactory&) = delete;
    TextFactory& operator=(const TextFactory&) = delete;
    Impl& Get() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// A private font collection over every font in one font file.
class FontCollection {
public:
    struct Impl;
    // Copies the bytes. Bytes without any usable font give a collection without
    // families (the caller decides what that means).
    static std::unique_ptr<FontCollection> FromFontFile(TextFactory& factory, std::span<const uint8_t> bytes);
    ~FontCollection();
    uint32_t FamilyCount() const;
    // The first of the family's names.
    std::string FamilyName(uint32_t family) const;
    Impl& Get() const { return *impl_; }

private:
    explicit FontCollection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

enum class WordWrapping : int32_t { Wrap = 0, NoWrap = 1 };
enum class LineSpacingMethod : int32_t { Default = 0, Uniform = 1, Proportional = 2 };
enum class TextAlignment : int32_t { Leading = 0, Trailing = 1, Center = 2 };

// Family, size and paragraph settings of a text (weight, style and stretch normal).
class TextFormat {
public:
    struct Impl;
    static std::unique_ptr<TextFormat> Create(TextFactory& factory, const std::string& familyName,
                                              const FontCollection& collection, float fontSize,
                                              const std::string& locale);
    ~TextFormat();
    void SetWordWrapping(WordWrapping wrapping);
    // Proportional: lineSpacing scales the font's line height, baseline scales its
    // ascent. Uniform: both are absolute distances. Default: the font's own.
    void SetLineSpacing(LineSpacingMethod method, float lineSpacing, float baseline);
    Impl& Get() const { return *impl_; }

private:
    explicit TextFormat(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

struct TextMetrics {
    float Left = 0;    // left-most point of the lines relative to the layout box
    float Top = 0;
    float Width = 0;   // widest line without its trailing white space
    float WidthIncludingTrailingWhitespace = 0;
    float Height = 0;  // sum of the line heights
    float LayoutWidth = 0;
    float LayoutHeight = 0;
    uint32_t LineCount = 0;
};

// How far the ink passes each edge of the layout box (0, 0, max width, max
// height); positive outward.
struct OverhangMetrics {
    float Left = 0;
    float Top = 0;
    float Right = 0;
    float Bottom = 0;
};

// A text (UTF-8; lines separated by line feeds) laid out in a box. Alignment
// places every line within the box's width; the lines stack from the top.
// The Linux layer breaks lines only at line feeds (word wrapping is not offered:
// laying out with Wrap raises ComException E_NOTIMPL).
class TextLayout {
public:
    struct Impl;
    static std::unique_ptr<TextLayout> Create(TextFactory& factory, const std::string& text,
                                              const TextFormat& format, float maxWidth, float maxHeight);
    ~TextLayout();
    void SetMaxWidth(float maxWidth);
    void SetMaxHeight(float maxHeight);
    void SetTextAlignment(TextAlignment alignment);
    TextMetrics GetMetrics() const;
    OverhangMetrics GetOverhangMetrics() const;
    Impl& Get() const { return *impl_; }

private:
    explicit TextLayout(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace velk::canvas
