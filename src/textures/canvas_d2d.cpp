// 2D layer on Windows: Direct2D draws into the GPU layer's textures, DirectWrite
// lays out and measures text, the imaging component decodes images (canvas_wic.cpp).
//
// What it maps:
// - A canvas is a Direct2D device context (queried for ID2D1DeviceContext5) on a
//   Direct2D device made on the Direct3D device's IDXGIDevice, drawing into a
//   bitmap over the render-target texture's IDXGISurface: premultiplied
//   B8G8R8A8 at 96 DPI, so one unit is one texel. Factory, device, context and
//   bitmap are made anew for every drawing and released before it returns.
// - SVG: ID2D1DeviceContext5::CreateSvgDocument with the viewport size, then
//   DrawSvgDocument: the root's width and height (100 % when absent) are resolved
//   against that viewport, an absolute size taking precedence over it, and the
//   viewBox is fitted into the root's box.
// - Images: a Direct2D bitmap made from the imaging component's converter, drawn
//   at the origin at its own size, nearest neighbour, opacity 1.
// - Text: the shared DirectWrite factory with an in-memory font file loader; a
//   font set built from the file's bytes becomes a private collection; formats
//   and layouts are DirectWrite's own, drawn in opaque white. Proportional line
//   spacing that a format refuses (its documentation allows that method on
//   layouts only) goes to each layout made on the format, with the same factors.
// - PaintPicture draws the same way on a Direct3D 11 device of its own and reads
//   the picture back.
// What it cannot do: on systems without ID2D1DeviceContext5 (Windows before the
// 2017 creators update, Wine) every drawing fails at that query with the
// platform's E_NOINTERFACE; text measuring and image decoding still work there.
#include <windows.h>
#include <d2d1_1.h>
#include <d3d11.h>
#include <dwrite_3.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "host/com_streams.h"
#include "host/errors.h"
#include "host/text.h"
#include "host/windows_sdk_compat.h"
#include "render/gpu.h"
#include "render/d3d11/gpu_interop_windows.h"
#include "textures/canvas.h"
#include "textures/canvas_windows_impl.h"

using Microsoft::WRL::ComPtr;

namespace velk::canvas {

namespace {

std::wstring Wide(const std::string& utf8) {
    std::u16string s = text::Utf8ToUtf16(utf8);
    return std::wstring(s.begin(), s.end());
}

// Takes over a new reference. MinGW-w64's ComPtr::Attach adds a reference of its
// own, so the pointer is stored directly instead.
template <typename T>
ComPtr<T> Adopt(void* reference) {
    ComPtr<T> p;
    *p.ReleaseAndGetAddressOf() = static_cast<T*>(reference);
    return p;
}

// Cleared to transparent black, painted once, drawing ended: the whole life of
// one Direct2D drawing into one surface. The DXGI device and the surface are
// asked for at the points where the drawing needs them.
void DrawIntoSurface(const std::function<ComPtr<IDXGIDevice>()>& dxgiDeviceOf,
                     const std::function<ComPtr<IDXGISurface>()>& surfaceOf, const PaintCallback& paint) {
    ComPtr<ID2D1Factory1> factory;
    D2D1_FACTORY_OPTIONS options{};
    options.debugLevel = D2D1_DEBUG_LEVEL_NONE;
    ThrowIfFailed(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory1), &options,
                                    reinterpret_cast<void**>(factory.GetAddressOf())),
                  "D2D1CreateFactory");

    ComPtr<IDXGIDevice> dxgiDevice = dxgiDeviceOf();
    ComPtr<ID2D1Device> device;
    ThrowIfFailed(factory->CreateDevice(dxgiDevice.Get(), &device), "ID2D1Factory1::CreateDevice");
    ComPtr<ID2D1DeviceContext> context;
    ThrowIfFailed(device->CreateDeviceContext(D2D1_DEVICE_CONTEXT_OPTIONS_NONE, &context),
                  "ID2D1Device::CreateDeviceContext");
    ComPtr<ID2D1DeviceContext5> context5;
    ThrowIfFailed(context.As(&context5), "QueryInterface(ID2D1DeviceContext5)");

    ComPtr<IDXGISurface> surface = surfaceOf();
    D2D1_BITMAP_PROPERTIES1 properties{};
    properties.pixelFormat = D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED);
    properties.dpiX = 96.0f;
    properties.dpiY = 96.0f;
    properties.bitmapOptions =
        static_cast<D2D1_BITMAP_OPTIONS>(D2D1_BITMAP_OPTIONS_TARGET | D2D1_BITMAP_OPTIONS_CANNOT_DRAW);
    properties.colorContext = nullptr;
    ComPtr<ID2D1Bitmap1> bitmap;
    ThrowIfFailed(context->CreateBitmapFromDxgiSurface(surface.Get(), &properties, &bitmap),
                  "ID2D1DeviceContext::CreateBitmapFromDxgiSurface");

    context->SetTarget(bitmap.Get());
    context->BeginDraw();
    context->Clear(D2D1::ColorF(0.0f, 0.0f, 0.0f, 0.0f));
    Canvas::Impl impl{context5.Get()};
    Canvas canvas(impl);
    paint(canvas);
    ThrowIfFailed(context->EndDraw(nullptr, nullptr), "ID2D1RenderTarget::EndDraw");
    context->SetTarget(nullptr);

    bitmap.Reset();
    surface.Reset();
    context5.Reset();
    context.Reset();
    device.Reset();
    dxgiDevice.Reset();
    factory.Reset();
}

}  // namespace

// ---------------------------------------------------------------------------
// Canvas and pictures

void PaintIntoTexture(gpu::Device& device, gpu::DeviceContext&, gpu::Texture2D& target, uint32_t, uint32_t,
                      const PaintCallback& paint) {
    DrawIntoSurface([&] { return Adopt<IDXGIDevice>(gpu::interop::DxgiDevice(device)); },
                    [&] { return Adopt<IDXGISurface>(gpu::interop::DxgiSurface(target)); }, paint);
}

Picture PaintPicture(uint32_t width, uint32_t height, const PaintCallback& paint) {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ThrowIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                    nullptr, 0, D3D11_SDK_VERSION, &device, nullptr, &context),
                  "D3D11CreateDevice");
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    ComPtr<ID3D11Texture2D> target;
    ThrowIfFailed(device->CreateTexture2D(&desc, nullptr, &target), "ID3D11Device::CreateTexture2D");

    DrawIntoSurface(
        [&] {
            ComPtr<IDXGIDevice> dxgi;
            ThrowIfFailed(device.As(&dxgi), "QueryInterface(IDXGIDevice)");
            return dxgi;
        },
        [&] {
            ComPtr<IDXGISurface> surface;
            ThrowIfFailed(target.As(&surface), "QueryInterface(IDXGISurface)");
            return surface;
        },
        paint);

    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Texture2D> staging;
    ThrowIfFailed(device->CreateTexture2D(&desc, nullptr, &staging), "ID3D11Device::CreateTexture2D");
    context->CopyResource(staging.Get(), target.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    ThrowIfFailed(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), "ID3D11DeviceContext::Map");
    Picture picture;
    picture.Width = width;
    picture.Height = height;
    picture.RowPitch = width * 4;
    picture.Pixels.resize(size_t(picture.RowPitch) * height);
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(picture.Pixels.data() + size_t(y) * picture.RowPitch,
                    static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch, picture.RowPitch);
    context->Unmap(staging.Get(), 0);
    return picture;
}

void Canvas::DrawSvg(const ByteStream& svg, float viewportWidth, float viewportHeight) {
    ComPtr<IStream> stream = NativeStream(svg);
    ComPtr<ID2D1SvgDocument> document;
    ThrowIfFailed(impl_.Context->CreateSvgDocument(stream.Get(), D2D1::SizeF(viewportWidth, viewportHeight),
                                                   &document),
                  "ID2D1DeviceContext5::CreateSvgDocument");
    impl_.Context->DrawSvgDocument(document.Get());
    document.Reset();
    stream.Reset();
}

void Canvas::DrawImage(const Image& image) {
    ID2D1RenderTarget* target = impl_.Context;
    D2D1_BITMAP_PROPERTIES properties =
        D2D1::BitmapProperties(D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED), 96.0f,
                               96.0f);
    ComPtr<ID2D1Bitmap> bitmap;
    ThrowIfFailed(target->CreateBitmapFromWicBitmap(image.Get().Converter.Get(), &properties, &bitmap),
                  "ID2D1RenderTarget::CreateBitmapFromWicBitmap");
    target->DrawBitmap(bitmap.Get(), nullptr, 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_NEAREST_NEIGHBOR, nullptr);
    bitmap.Reset();
}

// ---------------------------------------------------------------------------
// Text

struct TextFactory::Impl {
    ComPtr<IDWriteFactory6> Factory;
    ComPtr<IDWriteInMemoryFontFileLoader> Loader;
    bool Registered = false;
    ~Impl() {
        if (Registered) Factory->UnregisterFontFileLoader(Loader.Get());
        Loader.Reset();
        Factory.Reset();
    }
};

TextFactory::TextFactory() : impl_(std::make_unique<Impl>()) {
    ThrowIfFailed(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory6),
                                      reinterpret_cast<IUnknown**>(impl_->Factory.GetAddressOf())),
                  "DWriteCreateFactory");
    ThrowIfFailed(impl_->Factory->CreateInMemoryFontFileLoader(&impl_->Loader),
                  "IDWriteFactory5::CreateInMemoryFontFileLoader");
    ThrowIfFailed(impl_->Factory->RegisterFontFileLoader(impl_->Loader.Get()), "IDWriteFactory::RegisterFontFileLoader");
    impl_->Registered = true;
}

TextFactory::~TextFactory() = default;

struct FontCollection::Impl {
    ComPtr<IDWriteFontCollection1> Collection;
};

FontCollection::FontCollection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FontCollection::~FontCollection() = default;

std::unique_ptr<FontCollection> FontCollection::FromFontFile(TextFactory& factory, std::span<const uint8_t> bytes) {
    IDWriteFactory6* dwrite = factory.Get().Factory.Get();
    ComPtr<IDWriteFontSetBuilder2> builder;
    ThrowIfFailed(dwrite->CreateFontSetBuilder(&builder), "IDWriteFactory6::CreateFontSetBuilder");
    // No owner object: the platform keeps a copy of the bytes of its own.
    ComPtr<IDWriteFontFile> file;
    ThrowIfFailed(factory.Get().Loader->CreateInMemoryFontFileReference(
                      dwrite, bytes.empty() ? nullptr : bytes.data(), static_cast<UINT32>(bytes.size()), nullptr,
                      &file),
                  "IDWriteInMemoryFontFileLoader::CreateInMemoryFontFileReference");
    ThrowIfFailed(static_cast<IDWriteFontSetBuilder1*>(builder.Get())->AddFontFile(file.Get()),
                  "IDWriteFontSetBuilder1::AddFontFile");
    file.Reset();
    ComPtr<IDWriteFontSet> set;
    ThrowIfFailed(builder->CreateFontSet(&set), "IDWriteFontSetBuilder::CreateFontSet");
    auto impl = std::make_unique<Impl>();
    ThrowIfFailed(static_cast<IDWriteFactory3*>(dwrite)->CreateFontCollectionFromFontSet(set.Get(), &impl->Collection),
                  "IDWriteFactory3::CreateFontCollectionFromFontSet");
    set.Reset();
    builder.Reset();
    return std::unique_ptr<FontCollection>(new FontCollection(std::move(impl)));
}

uint32_t FontCollection::FamilyCount() const { return impl_->Collection->GetFontFamilyCount(); }

std::string FontCollection::FamilyName(uint32_t family) const {
    ComPtr<IDWriteFontFamily1> fontFamily;
    ThrowIfFailed(impl_->Collection->GetFontFamily(family, &fontFamily), "IDWriteFontCollection1::GetFontFamily");
    ComPtr<IDWriteLocalizedStrings> names;
    ThrowIfFailed(fontFamily->GetFamilyNames(&names), "IDWriteFontFamily::GetFamilyNames");
    UINT32 length = 0;
    ThrowIfFailed(names->GetStringLength(0, &length), "IDWriteLocalizedStrings::GetStringLength");
    std::wstring name(size_t(length) + 1, L'\0');
    ThrowIfFailed(names->GetString(0, name.data(), length + 1), "IDWriteLocalizedStrings::GetString");
    name.resize(length);
    names.Reset();
    fontFamily.Reset();
    return text::Utf16ToUtf8(std::u16string(name.begin(), name.end()));
}

bool RefuseProportionalSpacingOnFormats = false;

TextFormat::TextFormat(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TextFormat::~TextFormat() = default;

std::unique_ptr<TextFormat> TextFormat::Create(TextFactory& factory, const std::string& familyName,
                                               const FontCollection& collection, float fontSize,
                                               const std::string& locale) {
    auto impl = std::make_unique<Impl>();
    ThrowIfFailed(static_cast<IDWriteFactory*>(factory.Get().Factory.Get())->CreateTextFormat(
                      Wide(familyName).c_str(), collection.Get().Collection.Get(), DWRITE_FONT_WEIGHT_NORMAL,
                      DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, fontSize, Wide(locale).c_str(),
                      &impl->Format),
                  "IDWriteFactory::CreateTextFormat");
    return std::unique_ptr<TextFormat>(new TextFormat(std::move(impl)));
}

void TextFormat::SetWordWrapping(WordWrapping wrapping) {
    ThrowIfFailed(impl_->Format->SetWordWrapping(static_cast<DWRITE_WORD_WRAPPING>(wrapping)),
                  "IDWriteTextFormat::SetWordWrapping");
}

// The platform's documentation allows proportional spacing only on a layout
// (IDWriteTextLayout3), not on a format; where the format refuses it, each layout
// made on the format gets it instead, with the same factors, so that the metrics
// are the same either way.
void TextFormat::SetLineSpacing(LineSpacingMethod method, float lineSpacing, float baseline) {
    const bool proportional = method == LineSpacingMethod::Proportional;
    const HRESULT hr = proportional && RefuseProportionalSpacingOnFormats
                           ? E_INVALIDARG
                           : impl_->Format->SetLineSpacing(static_cast<DWRITE_LINE_SPACING_METHOD>(method),
                                                           lineSpacing, baseline);
    if (FAILED(hr) && proportional) {
        impl_->ForLayouts = LayoutLineSpacing{lineSpacing, baseline, static_cast<int32_t>(hr)};
        return;
    }
    ThrowIfFailed(hr, "IDWriteTextFormat::SetLineSpacing");
    impl_->ForLayouts.reset();
}

TextLayout::TextLayout(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TextLayout::~TextLayout() = default;

std::unique_ptr<TextLayout> TextLayout::Create(TextFactory& factory, const std::string& text, const TextFormat& format,
                                               float maxWidth, float maxHeight) {
    std::wstring wide = Wide(text);
    auto impl = std::make_unique<Impl>();
    ThrowIfFailed(static_cast<IDWriteFactory*>(factory.Get().Factory.Get())->CreateTextLayout(wide.c_str(), static_cast<UINT32>(wide.size()),
                                                         format.Get().Format.Get(), maxWidth, maxHeight,
                                                         &impl->Layout),
                  "IDWriteFactory::CreateTextLayout");
    if (const std::optional<LayoutLineSpacing>& spacing = format.Get().ForLayouts) {
        ComPtr<IDWriteTextLayout3> layout3;
        ThrowIfFailed(impl->Layout.As(&layout3), "QueryInterface(IDWriteTextLayout3)",
                      "the text format refused proportional line spacing (" + HResultText(spacing->FormatResult) +
                          ") and the layout cannot take it");
        // The setter's other two fields stay as the layout has them from its format,
        // as the format's own setter leaves them.
        DWRITE_LINE_SPACING lineSpacing{};
        ThrowIfFailed(layout3->GetLineSpacing(&lineSpacing), "IDWriteTextLayout3::GetLineSpacing");
        lineSpacing.method = DWRITE_LINE_SPACING_METHOD_PROPORTIONAL;
        lineSpacing.height = spacing->LineSpacing;
        lineSpacing.baseline = spacing->Baseline;
        ThrowIfFailed(layout3->SetLineSpacing(&lineSpacing), "IDWriteTextLayout3::SetLineSpacing");
    }
    return std::unique_ptr<TextLayout>(new TextLayout(std::move(impl)));
}

void TextLayout::SetMaxWidth(float maxWidth) {
    ThrowIfFailed(impl_->Layout->SetMaxWidth(maxWidth), "IDWriteTextLayout::SetMaxWidth");
}

void TextLayout::SetMaxHeight(float maxHeight) {
    ThrowIfFailed(impl_->Layout->SetMaxHeight(maxHeight), "IDWriteTextLayout::SetMaxHeight");
}

void TextLayout::SetTextAlignment(TextAlignment alignment) {
    ThrowIfFailed(impl_->Layout->SetTextAlignment(static_cast<DWRITE_TEXT_ALIGNMENT>(alignment)),
                  "IDWriteTextFormat::SetTextAlignment");
}

TextMetrics TextLayout::GetMetrics() const {
    DWRITE_TEXT_METRICS m{};
    ThrowIfFailed(impl_->Layout->GetMetrics(&m), "IDWriteTextLayout::GetMetrics");
    TextMetrics r;
    r.Left = m.left;
    r.Top = m.top;
    r.Width = m.width;
    r.WidthIncludingTrailingWhitespace = m.widthIncludingTrailingWhitespace;
    r.Height = m.height;
    r.LayoutWidth = m.layoutWidth;
    r.LayoutHeight = m.layoutHeight;
    r.LineCount = m.lineCount;
    return r;
}

OverhangMetrics TextLayout::GetOverhangMetrics() const {
    DWRITE_OVERHANG_METRICS m{};
    ThrowIfFailed(impl_->Layout->GetOverhangMetrics(&m), "IDWriteTextLayout::GetOverhangMetrics");
    return {m.left, m.top, m.right, m.bottom};
}

void Canvas::DrawTextLayout(const TextLayout& layout, float x, float y) {
    ID2D1RenderTarget* target = impl_.Context;
    ComPtr<ID2D1SolidColorBrush> brush;
    const D2D1_COLOR_F white = D2D1::ColorF(1.0f, 1.0f, 1.0f, 1.0f);
    ThrowIfFailed(target->CreateSolidColorBrush(&white, nullptr, &brush), "ID2D1RenderTarget::CreateSolidColorBrush");
    target->DrawTextLayout(D2D1::Point2F(x, y), layout.Get().Layout.Get(), brush.Get(), D2D1_DRAW_TEXT_OPTIONS_NONE);
    brush.Reset();
}

}  // namespace velk::canvas
