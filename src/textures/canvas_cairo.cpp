// 2D layer on Linux: cairo for drawing, librsvg for SVG, GdkPixbuf for images,
// FreeType and HarfBuzz for text.
//
// What it maps:
// - A canvas is a cairo context on a zeroed CAIRO_FORMAT_ARGB32 surface, whose
//   bytes are premultiplied B, G, R, A in memory on this little-endian machine;
//   the picture is then uploaded into the render-target texture.
// - SVG: the document sized as SVG prescribes and Direct2D's SVG document does: a
//   root width or height in percent (none at all is 100 %) is that share of the
//   viewport, an absolute one is that many pixels from the top left corner; then
//   rsvg_handle_render_document fits the viewBox into that box (uniform, centred).
// - Images: GdkPixbuf's loaders, which recognise the format (PNG, JPEG, BMP, GIF,
//   TIFF, ...) from the bytes; straight 8-bit samples (16-bit ones keep their high
//   byte) premultiplied with rounding, resolution and gamma metadata ignored; an
//   image without alpha is opaque; an animation gives its first frame.
// - Text: fonts are opened from the bytes with FT_New_Memory_Face, lines are
//   shaped with HarfBuzz in font units and laid out here so that the metrics are
//   DirectWrite's (see TextLayout below); glyphs are drawn unhinted with
//   cairo_glyph_path + cairo_fill so their fractional positions along the line
//   are kept, while each baseline is snapped to a whole pixel.
// What it does not do: word wrapping, bidirectional text, fallback fonts, image
// formats that no GdkPixbuf loader on the system reads.
#include "textures/canvas.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/mman.h>
#include <unistd.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include <hb.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/com_streams.h"
#include "host/errors.h"
#include "render/gpu.h"

namespace velk::canvas {

namespace {

constexpr int32_t kImageFormatNotRecognised = static_cast<int32_t>(0x88982F50u);  // no decoder for the bytes
constexpr int32_t kImageDamaged = static_cast<int32_t>(0x88982F60u);              // a known format, unreadable
constexpr int32_t kFileFormatNotRecognised = static_cast<int32_t>(0x88985000u);   // not a font file

// The process-wide FreeType library (like the shared text factory, it is made
// once and lives as long as the process: cairo may hold faces made on it).
FT_Library Library() {
    static FT_Library library = [] {
        FT_Library lib = nullptr;
        FT_Error e = FT_Init_FreeType(&lib);
        if (e) ThrowIfFailed(hr::E_FAIL_, "FT_Init_FreeType", "FreeType error " + std::to_string(e));
        return lib;
    }();
    return library;
}

// The decoder's message without trailing line breaks or full stops, to stand in
// a sentence of our own.
std::string Reason(const GError* error, const char* fallback) {
    std::string reason = error && error->message && *error->message ? error->message : fallback;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ' || reason.back() == '.')) reason.pop_back();
    return reason;
}

// Premultiplies one 8-bit channel by alpha, rounded to the nearest value.
inline uint8_t Premultiply(unsigned c, unsigned a) {
    unsigned t = c * a + 0x80;
    return uint8_t((t + (t >> 8)) >> 8);
}

}  // namespace

// ---------------------------------------------------------------------------
// Canvas and pictures

struct Canvas::Impl {
    cairo_t* Cr = nullptr;
};

Picture PaintPicture(uint32_t width, uint32_t height, const PaintCallback& paint) {
    if (width == 0 || height == 0 || width > 32767 || height > 32767)
        ThrowIfFailed(hr::E_INVALIDARG_, "Creating the picture",
                      std::to_string(width) + " x " + std::to_string(height) + " pixels is not a drawable size");
    Picture picture;
    picture.Width = width;
    picture.Height = height;
    picture.RowPitch = static_cast<uint32_t>(cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, int(width)));
    picture.Pixels.assign(size_t(picture.RowPitch) * height, 0);  // transparent black

    cairo_surface_t* surface = cairo_image_surface_create_for_data(picture.Pixels.data(), CAIRO_FORMAT_ARGB32,
                                                                   int(width), int(height), int(picture.RowPitch));
    cairo_t* cr = cairo_create(surface);
    cairo_status_t status = cairo_status(cr);
    if (status == CAIRO_STATUS_SUCCESS) {
        Canvas::Impl impl{cr};
        Canvas canvas(impl);
        try {
            paint(canvas);
        } catch (...) {
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
            throw;
        }
        status = cairo_status(cr);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        ThrowIfFailed(hr::E_FAIL_, "Ending the drawing", cairo_status_to_string(status));
    return picture;
}

void PaintIntoTexture(gpu::Device&, gpu::DeviceContext& context, gpu::Texture2D& target, uint32_t width,
                      uint32_t height, const PaintCallback& paint) {
    Picture picture = PaintPicture(width, height, paint);
    context.UpdateSubresource(target, 0, picture.Pixels.data(), picture.RowPitch);
}

namespace {

// Pixels at 96 DPI for a root width or height that is no percentage: px and plain
// numbers are user units, one pixel each; in, cm, mm, pt and pc are the CSS
// physical units at 96 px per inch; em and ex follow the root's font size.
double AbsolutePixels(const RsvgLength& length, double fontPixels) {
    switch (length.unit) {
        case RSVG_UNIT_IN: return length.length * 96.0;
        case RSVG_UNIT_CM: return length.length * 96.0 / 2.54;
        case RSVG_UNIT_MM: return length.length * 96.0 / 25.4;
        case RSVG_UNIT_PT: return length.length * 96.0 / 72.0;
        case RSVG_UNIT_PC: return length.length * 16.0;
        case RSVG_UNIT_EM: return length.length * fontPixels;
        case RSVG_UNIT_EX: return length.length * fontPixels / 2.0;
        default: return length.length;
    }
}

// The box that the document's root occupies in the viewport (0, 0, width, height).
RsvgRectangle RootBox(RsvgHandle* handle, double viewportWidth, double viewportHeight) {
    gboolean hasWidth = FALSE, hasHeight = FALSE;
    RsvgLength width{1.0, RSVG_UNIT_PERCENT}, height{1.0, RSVG_UNIT_PERCENT};
    rsvg_handle_get_intrinsic_dimensions(handle, &hasWidth, &width, &hasHeight, &height, nullptr, nullptr);
    if (!hasWidth) width = {1.0, RSVG_UNIT_PERCENT};
    if (!hasHeight) height = {1.0, RSVG_UNIT_PERCENT};
    double w = 0, h = 0;
    if (width.unit != RSVG_UNIT_PERCENT && height.unit != RSVG_UNIT_PERCENT &&
        rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h))
        return {0.0, 0.0, w, h};  // both absolute: librsvg resolves em and ex with the root's own font size
    // One of them is a percentage: em and ex of the other are taken at librsvg's
    // default font size (12 pt, 16 px).
    const double fontPixels = 16.0;
    w = width.unit == RSVG_UNIT_PERCENT ? width.length * viewportWidth : AbsolutePixels(width, fontPixels);
    h = height.unit == RSVG_UNIT_PERCENT ? height.length * viewportHeight : AbsolutePixels(height, fontPixels);
    return {0.0, 0.0, w, h};
}

}  // namespace

void Canvas::DrawSvg(const ByteStream& svg, float viewportWidth, float viewportHeight) {
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_data(svg.Data(), svg.Size(), &error);
    if (!handle) {
        std::string reason = Reason(error, "the document could not be read");
        if (error) g_error_free(error);
        ThrowIfFailed(hr::E_INVALIDARG_, "Creating the SVG document", reason);
    }
    rsvg_handle_set_dpi(handle, 96.0);
    // librsvg alone would fit the whole document into the viewport whatever its
    // root's size; the root's own box is worked out first.
    RsvgRectangle viewport = RootBox(handle, double(viewportWidth), double(viewportHeight));
    cairo_save(impl_.Cr);
    gboolean ok = rsvg_handle_render_document(handle, impl_.Cr, &viewport, &error);
    cairo_restore(impl_.Cr);
    g_object_unref(handle);
    if (!ok) {
        std::string reason = Reason(error, "the document could not be drawn");
        if (error) g_error_free(error);
        ThrowIfFailed(hr::E_FAIL_, "Drawing the SVG document", reason);
    }
}

// ---------------------------------------------------------------------------
// Images

struct Image::Impl {
    cairo_surface_t* Surface = nullptr;  // CAIRO_FORMAT_ARGB32
    ~Impl() {
        if (Surface) cairo_surface_destroy(Surface);
    }
};

Image::Image(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Image::~Image() = default;
uint32_t Image::Width() const { return uint32_t(cairo_image_surface_get_width(impl_->Surface)); }
uint32_t Image::Height() const { return uint32_t(cairo_image_surface_get_height(impl_->Surface)); }

std::unique_ptr<Image> Image::Decode(const ByteStream& stream) {
    if (stream.Size() == 0)
        ThrowIfFailed(kImageFormatNotRecognised, "Decoding the image", "there are no bytes, so they are not an image");
    // GdkPixbuf recognises the format from the bytes themselves. Its whole-file
    // loaders check an image to its end (the progressive ones take a cut-off PNG
    // for a complete one), so the bytes are handed over as an anonymous in-memory
    // file.
    int fd = memfd_create("velk-image", MFD_CLOEXEC);
    const uint8_t* data = stream.Data();
    size_t left = size_t(stream.Size());
    while (fd >= 0 && left > 0) {
        ssize_t n = write(fd, data, left);
        if (n <= 0) {
            close(fd);
            fd = -1;
            break;
        }
        data += n;
        left -= size_t(n);
    }
    if (fd < 0) ThrowIfFailed(hr::E_OUTOFMEMORY_, "Decoding the image", "the bytes could not be held for the decoder");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // The format, from the bytes a loader looks at to choose its decoder.
    GdkPixbufLoader* sniffer = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(sniffer, stream.Data(), std::min<gsize>(gsize(stream.Size()), 4096), nullptr);
    gdk_pixbuf_loader_close(sniffer, nullptr);
    GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(sniffer);
    g_object_unref(sniffer);
    GError* error = nullptr;
    GdkPixbuf* pixbuf = format ? gdk_pixbuf_new_from_file(path.c_str(), &error) : nullptr;  // an animation's first frame
    close(fd);
    if (!pixbuf) {
        std::string reason = "the bytes are not an image in any format the decoder knows";
        if (format) {
            gchar* name = gdk_pixbuf_format_get_name(format);
            std::string kind = name ? name : "";
            g_free(name);
            std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return char(std::toupper(c)); });
            // The decoder's message names the file it was given; only what follows counts.
            std::string detail = Reason(error, "its data is incomplete");
            size_t named = detail.find(path);
            size_t colon = named == std::string::npos ? named : detail.find(": ", named);
            if (colon != std::string::npos) detail.erase(0, colon + 2);
            reason = "the " + kind + " image cannot be read (" + detail + ")";
        }
        if (error) g_error_free(error);
        ThrowIfFailed(format ? kImageDamaged : kImageFormatNotRecognised, "Decoding the image", reason);
    }
    if (error) g_error_free(error);

    // Straight RGB(A) bytes to premultiplied B, G, R, A; without alpha every pixel
    // is opaque. Resolution and gamma metadata play no part.
    const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guint8* source = gdk_pixbuf_read_pixels(pixbuf);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels < (alpha ? 4 : 3)) {
        cairo_status_t status = cairo_surface_status(surface);
        cairo_surface_destroy(surface);
        g_object_unref(pixbuf);
        ThrowIfFailed(status == CAIRO_STATUS_NO_MEMORY ? hr::E_OUTOFMEMORY_ : kImageDamaged, "Decoding the image",
                      status != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(status)
                                                     : "the decoder delivered an unexpected pixel layout");
    }
    cairo_surface_flush(surface);
    uint8_t* target = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < h; ++y) {
        const guint8* in = source + size_t(y) * rowstride;
        uint8_t* out = target + size_t(y) * stride;
        for (int x = 0; x < w; ++x, in += channels, out += 4) {
            unsigned a = alpha ? in[3] : 255;
            out[0] = Premultiply(in[2], a);
            out[1] = Premultiply(in[1], a);
            out[2] = Premultiply(in[0], a);
            out[3] = uint8_t(a);
        }
    }
    cairo_surface_mark_dirty(surface);
    g_object_unref(pixbuf);
    auto impl = std::make_unique<Impl>();
    impl->Surface = surface;
    return std::unique_ptr<Image>(new Image(std::move(impl)));
}

void Canvas::DrawImage(const Image& image) {
    cairo_t* cr = impl_.Cr;
    cairo_save(cr);
    cairo_set_source_surface(cr, image.Get().Surface, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_paint(cr);
    cairo_restore(cr);
}

// ---------------------------------------------------------------------------
// Fonts

namespace {

// One face of the font file with the metrics the layout uses, in font units.
struct FaceData {
    FT_Face Face = nullptr;  // for glyph outlines' bounds
    hb_font_t* Shaper = nullptr;
    int Index = 0;
    std::string Family;
    bool Regular = true;  // neither bold nor italic
    float UnitsPerEm = 1000;
    float Ascent = 0, Descent = 0, LineGap = 0;
};

// The bytes of one font file and its faces, shared by a collection and every
// format and layout made from it.
struct FontFile {
    std::shared_ptr<const std::vector<uint8_t>> Bytes;
    hb_blob_t* Blob = nullptr;
    std::vector<FaceData> Faces;
    ~FontFile() {
        for (FaceData& f : Faces) {
            if (f.Shaper) hb_font_destroy(f.Shaper);
            if (f.Face) FT_Done_Face(f.Face);
        }
        if (Blob) hb_blob_destroy(Blob);
    }
};

// Ascent, descent and line gap as DirectWrite reads them: the Windows ascent and
// descent of the OS/2 table with the part of the horizontal header's line height
// that they do not cover as the gap; the typographic values when the font asks
// for them (USE_TYPO_METRICS); the horizontal header alone without an OS/2 table.
void ReadLineMetrics(FaceData& f) {
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(f.Face, FT_SFNT_OS2));
    auto* hhea = static_cast<TT_HoriHeader*>(FT_Get_Sfnt_Table(f.Face, FT_SFNT_HHEA));
    float ascent = 0, descent = 0, gap = 0;
    if (os2 && os2->version != 0xFFFFu) {
        ascent = float(os2->usWinAscent);
        descent = float(std::abs(int(int16_t(os2->usWinDescent))));
        if (hhea) {
            int g = int(hhea->Ascender) + std::abs(int(hhea->Descender)) + int(hhea->Line_Gap) - int(ascent) -
                    int(descent);
            gap = float(std::max(g, 0));
        }
        if (os2->fsSelection & (1u << 7)) {
            ascent = float(os2->sTypoAscender);
            descent = float(std::abs(int(os2->sTypoDescender)));
            gap = float(std::max(int(os2->sTypoLineGap), 0));
        }
    }
    if (ascent == 0 && hhea) {
        ascent = float(hhea->Ascender);
        descent = float(std::abs(int(hhea->Descender)));
        gap = float(std::max(int(hhea->Line_Gap), 0));
    }
    if (ascent == 0 && descent == 0) {  // no tables at all: FreeType's own reading
        ascent = float(f.Face->ascender);
        descent = float(std::abs(int(f.Face->descender)));
    }
    f.Ascent = ascent;
    f.Descent = descent;
    f.LineGap = gap;
}

// Opens every face of the file; faces FreeType cannot use are left out.
std::shared_ptr<FontFile> OpenFontFile(std::span<const uint8_t> bytes) {
    auto file = std::make_shared<FontFile>();
    file->Bytes = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
    const std::vector<uint8_t>& data = *file->Bytes;
    if (data.empty()) return file;
    FT_Face probe = nullptr;
    if (FT_New_Memory_Face(Library(), data.data(), FT_Long(data.size()), -1, &probe) != 0) return file;
    FT_Long count = probe->num_faces;
    FT_Done_Face(probe);
    file->Blob = hb_blob_create(reinterpret_cast<const char*>(data.data()), unsigned(data.size()),
                                HB_MEMORY_MODE_READONLY, nullptr, nullptr);
    for (FT_Long i = 0; i < count; ++i) {
        FT_Face face = nullptr;
        if (FT_New_Memory_Face(Library(), data.data(), FT_Long(data.size()), i, &face) != 0) continue;
        if (!FT_IS_SCALABLE(face) || !face->family_name || face->units_per_EM == 0) {
            FT_Done_Face(face);
            continue;
        }
        FaceData f;
        f.Face = face;
        f.Index = int(i);
        f.Family = face->family_name;
        f.Regular = (face->style_flags & (FT_STYLE_FLAG_BOLD | FT_STYLE_FLAG_ITALIC)) == 0;
        f.UnitsPerEm = float(face->units_per_EM);
        ReadLineMetrics(f);
        hb_face_t* hbFace = hb_face_create(file->Blob, unsigned(i));
        f.Shaper = hb_font_create(hbFace);
        hb_face_destroy(hbFace);
        hb_font_set_scale(f.Shaper, int(face->units_per_EM), int(face->units_per_EM));
        file->Faces.push_back(std::move(f));
    }
    return file;
}

}  // namespace

struct TextFactory::Impl {
    FT_Library Library = nullptr;
};

TextFactory::TextFactory() : impl_(std::make_unique<Impl>()) { impl_->Library = Library(); }
TextFactory::~TextFactory() = default;

struct FontCollection::Impl {
    std::shared_ptr<FontFile> File;
    std::vector<std::string> Families;  // in the order of their first face
};

FontCollection::FontCollection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FontCollection::~FontCollection() = default;

std::unique_ptr<FontCollection> FontCollection::FromFontFile(TextFactory&, std::span<const uint8_t> bytes) {
    auto impl = std::make_unique<Impl>();
    impl->File = OpenFontFile(bytes);
    for (const FaceData& f : impl->File->Faces)
        if (std::find(impl->Families.begin(), impl->Families.end(), f.Family) == impl->Families.end())
            impl->Families.push_back(f.Family);
    return std::unique_ptr<FontCollection>(new FontCollection(std::move(impl)));
}

uint32_t FontCollection::FamilyCount() const { return uint32_t(impl_->Families.size()); }

std::string FontCollection::FamilyName(uint32_t family) const {
    if (family >= impl_->Families.size())
        ThrowIfFailed(hr::E_INVALIDARG_, "Getting the font family", "index " + std::to_string(family));
    return impl_->Families[family];
}

// ---------------------------------------------------------------------------
// Text format

struct TextFormat::Impl {
    std::shared_ptr<FontFile> File;
    const FaceData* Face = nullptr;
    float FontSize = 0;
    std::string Locale;
    WordWrapping Wrapping = WordWrapping::Wrap;
    LineSpacingMethod SpacingMethod = LineSpacingMethod::Default;
    float LineSpacing = 0;
    float Baseline = 0;
};

TextFormat::TextFormat(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TextFormat::~TextFormat() = default;

std::unique_ptr<TextFormat> TextFormat::Create(TextFactory&, const std::string& familyName,
                                               const FontCollection& collection, float fontSize,
                                               const std::string& locale) {
    if (!(fontSize > 0) || !std::isfinite(fontSize))
        ThrowIfFailed(hr::E_INVALIDARG_, "Creating the text format", "the font size must be positive");
    auto impl = std::make_unique<Impl>();
    impl->File = collection.Get().File;
    // Normal weight, style and stretch: the family's regular face when it has one.
    for (const FaceData& f : impl->File->Faces) {
        if (f.Family != familyName) continue;
        if (!impl->Face || (f.Regular && !impl->Face->Regular)) impl->Face = &f;
    }
    if (!impl->Face)
        ThrowIfFailed(hr::E_INVALIDARG_, "Creating the text format",
                      "no family \"" + familyName + "\" in the font collection");
    impl->FontSize = fontSize;
    impl->Locale = locale;
    return std::unique_ptr<TextFormat>(new TextFormat(std::move(impl)));
}

void TextFormat::SetWordWrapping(WordWrapping wrapping) {
    if (wrapping != WordWrapping::Wrap && wrapping != WordWrapping::NoWrap)
        ThrowIfFailed(hr::E_INVALIDARG_, "Setting the word wrapping");
    impl_->Wrapping = wrapping;
}

void TextFormat::SetLineSpacing(LineSpacingMethod method, float lineSpacing, float baseline) {
    bool known = method == LineSpacingMethod::Default || method == LineSpacingMethod::Uniform ||
                 method == LineSpacingMethod::Proportional;
    if (!known || (method != LineSpacingMethod::Default && (!(lineSpacing >= 0) || !std::isfinite(baseline))))
        ThrowIfFailed(hr::E_INVALIDARG_, "Setting the line spacing");
    impl_->SpacingMethod = method;
    impl_->LineSpacing = lineSpacing;
    impl_->Baseline = baseline;
}

// ---------------------------------------------------------------------------
// Text layout
//
// DirectWrite's model, reproduced: lines break at line feeds (and the other
// Unicode line separators); every line is the font's line height tall (ascent +
// descent + line gap at the font size), its baseline the ascent below its top;
// proportional spacing scales the height by the spacing factor and puts the
// baseline the baseline factor times the ascent below the top. Width is the
// widest line's advance without its trailing white space; alignment places each
// line's advance without trailing white space within the box's width, the white
// space hanging past it. Overhangs are measured from the glyphs' outline bounds.

namespace {

struct PlacedGlyph {
    uint32_t Index;
    float X;  // from the line's start, along the baseline
    float Y;  // offset upwards from the baseline
    bool HasInk;
    float InkLeft, InkRight, InkTop, InkBottom;  // relative to (X, baseline), y down
};

struct Line {
    std::vector<PlacedGlyph> Glyphs;
    float Width = 0;                    // without trailing white space
    float WidthWithTrailingSpace = 0;
};

bool IsLineBreak(char32_t c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool IsWhiteSpace(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A && c != 0x2007) || c == 0x205F ||
           c == 0x3000;
}

// Decodes one UTF-8 code point at s[i], advancing i (a malformed byte gives U+FFFD
// and advances by one).
char32_t NextCodePoint(const std::string& s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (n == 0) {
        ++i;
        return c;
    }
    if (n < 0 || i + n >= s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = c & (0x3F >> n);
    for (int k = 1; k <= n; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    i += n + 1;
    return cp;
}

}  // namespace

struct TextLayout::Impl {
    std::shared_ptr<FontFile> File;
    const FaceData* Face = nullptr;
    float FontSize = 0;
    float MaxWidth = 0, MaxHeight = 0;
    TextAlignment Alignment = TextAlignment::Leading;
    float LineHeight = 0;    // every line has the same font, so the same height
    float BaselineDistance = 0;
    std::vector<Line> Lines;

    float LineShift(const Line& line) const {
        switch (Alignment) {
            case TextAlignment::Trailing: return MaxWidth - line.Width;
            case TextAlignment::Center: return (MaxWidth - line.Width) / 2.0f;
            default: return 0.0f;
        }
    }
};

TextLayout::TextLayout(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TextLayout::~TextLayout() = default;

std::unique_ptr<TextLayout> TextLayout::Create(TextFactory&, const std::string& text, const TextFormat& format,
                                               float maxWidth, float maxHeight) {
    const TextFormat::Impl& fmt = format.Get();
    if (fmt.Wrapping == WordWrapping::Wrap)
        ThrowIfFailed(hr::E_NOTIMPL_, "Creating the text layout", "word wrapping is not offered by this layer");
    if (!(maxWidth >= 0) || !(maxHeight >= 0))
        ThrowIfFailed(hr::E_INVALIDARG_, "Creating the text layout", "the layout box must not be negative");

    auto impl = std::make_unique<Impl>();
    impl->File = fmt.File;
    impl->Face = fmt.Face;
    impl->FontSize = fmt.FontSize;
    impl->MaxWidth = maxWidth;
    impl->MaxHeight = maxHeight;
    const FaceData& face = *fmt.Face;
    const float scale = fmt.FontSize / face.UnitsPerEm;
    const float ascent = face.Ascent * scale;
    const float naturalHeight = (face.Ascent + face.Descent + face.LineGap) * scale;
    switch (fmt.SpacingMethod) {
        case LineSpacingMethod::Proportional:
            impl->LineHeight = fmt.LineSpacing * naturalHeight;
            impl->BaselineDistance = fmt.Baseline * ascent;
            break;
        case LineSpacingMethod::Uniform:
            impl->LineHeight = fmt.LineSpacing;
            impl->BaselineDistance = fmt.Baseline;
            break;
        default:
            impl->LineHeight = naturalHeight;
            impl->BaselineDistance = ascent;
            break;
    }

    // Split into lines: [start, end) byte ranges without their break characters.
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t lineStart = 0;
    for (size_t i = 0; i < text.size();) {
        size_t at = i;
        char32_t c = NextCodePoint(text, i);
        if (!IsLineBreak(c)) continue;
        ranges.emplace_back(lineStart, at);
        if (c == 0x0D && i < text.size() && text[i] == '\n') ++i;  // CR LF is one break
        lineStart = i;
    }
    ranges.emplace_back(lineStart, text.size());

    hb_language_t language = hb_language_from_string(fmt.Locale.c_str(), -1);
    hb_buffer_t* buffer = hb_buffer_create();
    for (auto [begin, end] : ranges) {
        Line line;
        // Where the line's trailing white space begins.
        size_t trailingStart = begin;
        for (size_t i = begin; i < end;) {
            char32_t c = NextCodePoint(text, i);
            if (!IsWhiteSpace(c)) trailingStart = i;
        }
        if (end > begin) {
            hb_buffer_reset(buffer);
            hb_buffer_add_utf8(buffer, text.data() + begin, int(end - begin), 0, int(end - begin));
            hb_buffer_set_direction(buffer, HB_DIRECTION_LTR);
            hb_buffer_set_language(buffer, language);
            hb_buffer_guess_segment_properties(buffer);
            hb_shape(face.Shaper, buffer, nullptr, 0);
            unsigned count = 0;
            hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
            hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);
            int32_t pen = 0, penWithoutTrailing = 0;
            for (unsigned g = 0; g < count; ++g) {
                PlacedGlyph pg{};
                pg.Index = infos[g].codepoint;
                pg.X = float(pen + positions[g].x_offset) * scale;
                pg.Y = float(positions[g].y_offset) * scale;
                pg.HasInk = false;
                if (FT_Load_Glyph(face.Face, pg.Index, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING) == 0 &&
                    face.Face->glyph->format == FT_GLYPH_FORMAT_OUTLINE && face.Face->glyph->outline.n_points > 0) {
                    FT_BBox box;
                    FT_Outline_Get_CBox(&face.Face->glyph->outline, &box);
                    pg.HasInk = box.xMax > box.xMin && box.yMax > box.yMin;
                    pg.InkLeft = float(box.xMin) * scale;
                    pg.InkRight = float(box.xMax) * scale;
                    pg.InkTop = -float(box.yMax) * scale;
                    pg.InkBottom = -float(box.yMin) * scale;
                }
                line.Glyphs.push_back(pg);
                pen += positions[g].x_advance;
                if (begin + infos[g].cluster < trailingStart) penWithoutTrailing = pen;
            }
            line.WidthWithTrailingSpace = float(pen) * scale;
            line.Width = float(penWithoutTrailing) * scale;
        }
        impl->Lines.push_back(std::move(line));
    }
    hb_buffer_destroy(buffer);
    return std::unique_ptr<TextLayout>(new TextLayout(std::move(impl)));
}

void TextLayout::SetMaxWidth(float maxWidth) {
    if (!(maxWidth >= 0)) ThrowIfFailed(hr::E_INVALIDARG_, "Setting the layout width");
    impl_->MaxWidth = maxWidth;
}

void TextLayout::SetMaxHeight(float maxHeight) {
    if (!(maxHeight >= 0)) ThrowIfFailed(hr::E_INVALIDARG_, "Setting the layout height");
    impl_->MaxHeight = maxHeight;
}

void TextLayout::SetTextAlignment(TextAlignment alignment) {
    switch (alignment) {
        case TextAlignment::Leading:
        case TextAlignment::Trailing:
        case TextAlignment::Center: impl_->Alignment = alignment; return;
    }
    if (static_cast<int32_t>(alignment) == 3) {  // justified: no line of an unwrapped text is stretched
        impl_->Alignment = TextAlignment::Leading;
        return;
    }
    ThrowIfFailed(hr::E_INVALIDARG_, "Setting the text alignment",
                  "unknown alignment " + std::to_string(static_cast<int32_t>(alignment)));
}

TextMetrics TextLayout::GetMetrics() const {
    const Impl& l = *impl_;
    TextMetrics m;
    m.Left = std::numeric_limits<float>::max();
    for (const Line& line : l.Lines) {
        m.Left = std::min(m.Left, l.LineShift(line));
        m.Width = std::max(m.Width, line.Width);
        m.WidthIncludingTrailingWhitespace = std::max(m.WidthIncludingTrailingWhitespace, line.WidthWithTrailingSpace);
        m.Height += l.LineHeight;
    }
    m.Top = 0;
    m.LayoutWidth = l.MaxWidth;
    m.LayoutHeight = l.MaxHeight;
    m.LineCount = uint32_t(l.Lines.size());
    return m;
}

OverhangMetrics TextLayout::GetOverhangMetrics() const {
    const Impl& l = *impl_;
    float left = std::numeric_limits<float>::max(), top = left;
    float right = std::numeric_limits<float>::lowest(), bottom = right;
    bool any = false;
    float lineTop = 0;
    for (const Line& line : l.Lines) {
        float shift = l.LineShift(line);
        float baseline = lineTop + l.BaselineDistance;
        for (const PlacedGlyph& g : line.Glyphs) {
            if (!g.HasInk) continue;
            any = true;
            float x = shift + g.X, y = baseline - g.Y;
            left = std::min(left, x + g.InkLeft);
            right = std::max(right, x + g.InkRight);
            top = std::min(top, y + g.InkTop);
            bottom = std::max(bottom, y + g.InkBottom);
        }
        lineTop += l.LineHeight;
    }
    OverhangMetrics o;
    if (!any) {  // no ink: an empty box at the layout's top left corner
        left = right = 0;
        top = bottom = 0;
    }
    o.Left = -left;
    o.Top = -top;
    o.Right = right - l.MaxWidth;
    o.Bottom = bottom - l.MaxHeight;
    return o;
}

// ---------------------------------------------------------------------------
// Drawing text

namespace {

// What a cairo font face keeps alive: cairo may cache the face beyond our use.
struct CairoFaceData {
    std::shared_ptr<const std::vector<uint8_t>> Bytes;
    FT_Face Face = nullptr;
};
const cairo_user_data_key_t kFaceDataKey{};

cairo_font_face_t* CreateCairoFace(const FontFile& file, int index) {
    auto* data = new CairoFaceData{file.Bytes, nullptr};
    if (FT_New_Memory_Face(Library(), data->Bytes->data(), FT_Long(data->Bytes->size()), index, &data->Face) != 0) {
        delete data;
        ThrowIfFailed(kFileFormatNotRecognised, "Opening the font for drawing");
    }
    cairo_font_face_t* face = cairo_ft_font_face_create_for_ft_face(data->Face, FT_LOAD_NO_HINTING);
    cairo_status_t status = cairo_font_face_set_user_data(face, &kFaceDataKey, data, [](void* p) {
        auto* d = static_cast<CairoFaceData*>(p);
        FT_Done_Face(d->Face);
        delete d;
    });
    if (status != CAIRO_STATUS_SUCCESS) {
        cairo_font_face_destroy(face);
        FT_Done_Face(data->Face);
        delete data;
        ThrowIfFailed(hr::E_OUTOFMEMORY_, "Opening the font for drawing", cairo_status_to_string(status));
    }
    return face;
}

}  // namespace

void Canvas::DrawTextLayout(const TextLayout& layout, float x, float y) {
    const TextLayout::Impl& l = layout.Get();
    cairo_t* cr = impl_.Cr;
    std::vector<cairo_glyph_t> glyphs;
    float lineTop = 0;
    for (const Line& line : l.Lines) {
        float shift = l.LineShift(line);
        // Each baseline is snapped to a whole pixel, as the platform's default
        // text drawing does, so the edges that stand on it stay sharp; the
        // glyphs keep their fractional positions along the line.
        float baseline = std::round(y + (lineTop + l.BaselineDistance));
        for (const PlacedGlyph& g : line.Glyphs)
            if (g.HasInk) glyphs.push_back({g.Index, double(x + shift + g.X), double(baseline - g.Y)});
        lineTop += l.LineHeight;
    }
    if (glyphs.empty()) return;

    cairo_font_face_t* face = CreateCairoFace(*l.File, l.Face->Index);
    cairo_save(cr);
    cairo_set_font_face(cr, face);
    cairo_set_font_size(cr, l.FontSize);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
    cairo_new_path(cr);
    cairo_glyph_path(cr, glyphs.data(), int(glyphs.size()));
    cairo_set_source_rgba(cr, 1, 1, 1, 1);
    cairo_fill(cr);
    cairo_restore(cr);
    cairo_font_face_destroy(face);
}

}  // namespace velk::canvas
