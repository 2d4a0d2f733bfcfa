#include "textures/textures.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "host/com_streams.h"
#include "host/errors.h"
#include "host/text.h"
#include "render/gpu.h"

namespace velk {

// ---------------------------------------------------------------------------
// Render to texture

uint32_t Textures::ToWholePixels(float value) {
    if (!(value > 0)) return 0;  // negative, zero or NaN
    if (value >= 4294967296.0f) return 4294967295u;
    return static_cast<uint32_t>(value);
}

Textures::View Textures::RenderToTexture(gpu::Device& device, gpu::DeviceContext& context, float width,
                                         float height, const canvas::PaintCallback& paint) {
    const uint32_t w = ToWholePixels(width);
    const uint32_t h = ToWholePixels(height);

    gpu::Texture2DDesc targetDesc;
    targetDesc.Width = w;
    targetDesc.Height = h;
    targetDesc.MipLevels = 1;
    targetDesc.ArraySize = 1;
    targetDesc.Format = gpu::PixelFormat::B8G8R8A8_UNORM;
    targetDesc.Usage = gpu::ResourceUsage::Default;
    targetDesc.BindFlags = gpu::BindRenderTarget;
    std::shared_ptr<gpu::Texture2D> target = device.CreateTexture2D(targetDesc);

    // Cleared to transparent black, painted once, drawing ended; every 2D object
    // is gone when this returns.
    canvas::PaintIntoTexture(device, context, *target, w, h, paint);

    gpu::Texture2DDesc finalDesc = targetDesc;
    finalDesc.MipLevels = 0;  // the full chain
    finalDesc.BindFlags = gpu::BindShaderResource | gpu::BindRenderTarget;
    finalDesc.MiscFlags = gpu::MiscGenerateMips;
    std::shared_ptr<gpu::Texture2D> finalTexture = device.CreateTexture2D(finalDesc);

    context.CopySubresourceRegion(*finalTexture, 0, 0, 0, *target, 0);
    View view = device.CreateShaderResourceView(finalTexture);
    context.GenerateMips(*view);

    finalTexture.reset();
    target.reset();
    return view;
}

// ---------------------------------------------------------------------------
// Images and SVG

Textures::View Textures::FromImage(gpu::Device& device, gpu::DeviceContext& context, std::span<const uint8_t> bytes) {
    std::unique_ptr<ByteStream> stream = ComStreams::FromBytes(bytes);
    std::unique_ptr<canvas::Image> image = canvas::Image::Decode(*stream);
    const float width = static_cast<float>(image->Width());
    const float height = static_cast<float>(image->Height());
    View view = RenderToTexture(device, context, width, height,
                                [&](canvas::Canvas& canvas) { PaintImage(canvas, *image); });
    image.reset();
    stream.reset();
    return view;
}

void Textures::PaintImage(canvas::Canvas& canvas, const canvas::Image& image) { canvas.DrawImage(image); }

Textures::View Textures::FromSvg(gpu::Device& device, gpu::DeviceContext& context, std::span<const uint8_t> bytes,
                                 int32_t height) {
    ViewBoxSize viewBox = ReadViewBoxSize(bytes);
    TextureSize size = FitSvgSize(viewBox, height);
    return RenderToTexture(device, context, size.Width, size.Height,
                           [&](canvas::Canvas& canvas) { PaintSvg(canvas, bytes, size); });
}

void Textures::PaintSvg(canvas::Canvas& canvas, std::span<const uint8_t> bytes, TextureSize size) {
    std::unique_ptr<ByteStream> stream = ComStreams::FromBytes(bytes);
    canvas.DrawSvg(*stream, size.Width, size.Height);
    stream.reset();
}

namespace {

// White space as the pattern's \s knows it.
bool IsPatternSpace(char16_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The value of the leftmost match of: viewBox\s*=\s*"([^"]*)"
std::optional<std::u16string> FindViewBoxValue(const std::u16string& text) {
    static const std::u16string word = u"viewBox";
    for (size_t at = text.find(word); at != std::u16string::npos; at = text.find(word, at + 1)) {
        size_t i = at + word.size();
        while (i < text.size() && IsPatternSpace(text[i])) ++i;
        if (i >= text.size() || text[i] != u'=') continue;
        ++i;
        while (i < text.size() && IsPatternSpace(text[i])) ++i;
        if (i >= text.size() || text[i] != u'"') continue;
        size_t close = text.find(u'"', i + 1);
        if (close == std::u16string::npos) continue;
        return text.substr(i + 1, close - i - 1);
    }
    return std::nullopt;
}

bool IsNumberSpace(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double Textures::ParseInvariant(std::string_view text) {
    auto fail = [&]() -> double {
        throw FormatException("The input string '" + std::string(text) + "' was not in a correct format.");
    };
    size_t b = 0, e = text.size();
    while (b < e && IsNumberSpace(text[b])) ++b;
    while (e > b && IsNumberSpace(text[e - 1])) --e;
    std::string_view s = text.substr(b, e - b);
    // [sign] digits [. digits] [(e|E) [sign] digits], with digits on at least one
    // side of the point.
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    size_t numberStart = i;
    size_t intDigits = 0, fracDigits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++intDigits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) ++i, ++fracDigits;
    }
    if (intDigits + fracDigits == 0) return fail();
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < s.size() && IsDigit(s[i])) ++i, ++expDigits;
        if (expDigits == 0) return fail();
    }
    if (i != s.size()) return fail();

    // from_chars takes no '+' and no bare trailing point ("5."), so give it a
    // normalised copy.
    std::string digits(s.substr(numberStart));
    if (size_t point = digits.find('.');
        point != std::string::npos && (point + 1 == digits.size() || !IsDigit(digits[point + 1])))
        digits.insert(point + 1, "0");
    if (digits[0] == '.') digits.insert(0, "0");
    double value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Too large becomes infinity, too small zero.
        size_t ePos = digits.find_first_of("eE");
        value = (ePos == std::string::npos || digits[ePos + 1] != '-') ? HUGE_VAL : 0.0;
    } else if (ec != std::errc() || ptr != digits.data() + digits.size()) {
        return fail();
    }
    return negative ? -value : value;
}

Textures::ViewBoxSize Textures::ReadViewBoxSize(std::span<const uint8_t> bytes) {
    std::u16string text =
        text::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    std::optional<std::u16string> value = FindViewBoxValue(text);
    if (!value) throw InvalidDataException("The SVG has no viewBox.");

    std::vector<double> numbers;
    std::u16string piece;
    auto flush = [&] {
        if (!piece.empty()) numbers.push_back(ParseInvariant(text::Utf16ToUtf8(piece)));
        piece.clear();
    };
    for (char16_t c : *value) {
        if (c == u' ' || c == u',')
            flush();
        else
            piece += c;
    }
    flush();
    if (numbers.size() < 4) throw IndexOutOfRangeException("Index was outside the bounds of the array.");
    return {numbers[2], numbers[3]};
}

Textures::TextureSize Textures::FitSvgSize(ViewBoxSize viewBox, int32_t height) {
    const double aspect = viewBox.Width / viewBox.Height;
    // (3 x H) / 2 in 32-bit arithmetic (wrapping), truncated toward zero.
    const int32_t last = static_cast<int32_t>(static_cast<uint32_t>(height) * 3u) / 2;
    for (int64_t i = height; i <= last; ++i) {
        double x = static_cast<double>(i) * aspect;
        double r = std::nearbyint(x);  // halves to even in the default rounding mode
        if (std::fabs(x - r) < 0.001) return {static_cast<float>(r), static_cast<float>(i)};
    }
    return {static_cast<float>(std::nearbyint(static_cast<double>(height) * aspect)), static_cast<float>(height)};
}

// ---------------------------------------------------------------------------
// Text

Textures::View Textures::FromText(gpu::Device& device, gpu::DeviceContext& context, const std::string& text,
                                  std::span<const uint8_t> fontBytes, float fontSize, float lineSpacing,
                                  int32_t alignment) {
    // The factory with its in-memory font loader, registered until it goes.
    auto factory = std::make_unique<canvas::TextFactory>();
    std::unique_ptr<canvas::FontCollection> collection = LoadFontCollection(*factory, fontBytes);
    View view =
        RenderText(device, context, *factory, std::move(collection), text, fontSize, lineSpacing, alignment);
    factory.reset();
    return view;
}

std::unique_ptr<canvas::FontCollection> Textures::LoadFontCollection(canvas::TextFactory& factory,
                                                                     std::span<const uint8_t> fontBytes) {
    std::unique_ptr<canvas::FontCollection> collection = canvas::FontCollection::FromFontFile(factory, fontBytes);
    if (collection->FamilyCount() == 0) throw InvalidDataException("No usable font in the font file.");
    return collection;
}

Textures::TextBlock Textures::LayOutText(canvas::TextFactory& factory, const canvas::FontCollection& collection,
                                         const std::string& text, float fontSize, float lineSpacing,
                                         int32_t alignment) {
    const std::string family = collection.FamilyName(0);
    TextBlock block;
    block.Format = canvas::TextFormat::Create(factory, family, collection, fontSize, "en-us");
    block.Format->SetWordWrapping(canvas::WordWrapping::NoWrap);
    block.Format->SetLineSpacing(canvas::LineSpacingMethod::Proportional, lineSpacing, 0.8f * lineSpacing);
    block.Layout = canvas::TextLayout::Create(factory, text, *block.Format, 100000.0f, 100000.0f);

    // Shrink the box to the text, and only then align, so that the lines are
    // placed within the widest line rather than within the first, huge box.
    canvas::TextLayout& layout = *block.Layout;
    layout.SetMaxWidth(layout.GetMetrics().WidthIncludingTrailingWhitespace);
    layout.SetMaxHeight(layout.GetMetrics().Height);
    layout.SetTextAlignment(static_cast<canvas::TextAlignment>(alignment));

    canvas::OverhangMetrics overhangs = layout.GetOverhangMetrics();
    const float width = layout.GetMetrics().Width;
    const float height = layout.GetMetrics().Height;
    block.Placement = PlaceText(fontSize, overhangs, width, height);
    return block;
}

Textures::TextPlacement Textures::PlaceText(float fontSize, const canvas::OverhangMetrics& overhangs, float width,
                                            float height) {
    const float pad = fontSize * 0.1f;
    const float left = overhangs.Left > 0 ? overhangs.Left : 0.0f;
    const float top = overhangs.Top > 0 ? overhangs.Top : 0.0f;
    const float right = overhangs.Right > 0 ? overhangs.Right : 0.0f;
    const float bottom = overhangs.Bottom > 0 ? overhangs.Bottom : 0.0f;
    TextPlacement p;
    p.OriginX = left + pad;
    p.OriginY = top + pad;
    // Single-precision sums, in this order.
    float w = width + p.OriginX;
    w = w + right;
    w = w + pad;
    float h = height + p.OriginY;
    h = h + bottom;
    h = h + pad;
    p.Width = std::ceil(w);
    p.Height = std::ceil(h);
    return p;
}

Textures::View Textures::RenderText(gpu::Device& device, gpu::DeviceContext& context, canvas::TextFactory& factory,
                                    std::unique_ptr<canvas::FontCollection> collection, const std::string& text,
                                    float fontSize, float lineSpacing, int32_t alignment) {
    TextBlock block = LayOutText(factory, *collection, text, fontSize, lineSpacing, alignment);
    const TextPlacement placement = block.Placement;
    View view = RenderToTexture(device, context, placement.Width, placement.Height, [&](canvas::Canvas& canvas) {
        PaintText(canvas, *block.Layout, placement.OriginX, placement.OriginY);
    });
    block.Layout.reset();
    block.Format.reset();
    collection.reset();
    return view;
}

void Textures::PaintText(canvas::Canvas& canvas, const canvas::TextLayout& layout, float originX, float originY) {
    canvas.DrawTextLayout(layout, originX, originY);
}

}  // namespace velk
