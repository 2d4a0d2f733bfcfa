// What the Windows 2D layer's files (canvas_d2d.cpp, canvas_wic.cpp) share: the
// native objects behind a canvas, an image, a text format and a text layout, and
// the stream over a ByteStream's bytes. Windows-only; the layer's header canvas.h stays free of these types.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <d2d1_1.h>
#include <dwrite_3.h>

#include <cstdint>
#include <optional>

#include "host/windows_sdk_compat.h"
#include "textures/canvas.h"

namespace velk::canvas {

struct Canvas::Impl {
    ID2D1DeviceContext5* Context = nullptr;  // owned by the drawing that made the canvas
};

// Declared so that the members go in the reverse order of their creation: the
// converter, the frame, the decoder, the stream, the imaging factory.
struct Image::Impl {
    Microsoft::WRL::ComPtr<IWICImagingFactory> Factory;
    Microsoft::WRL::ComPtr<IStream> Stream;
    Microsoft::WRL::ComPtr<IWICBitmapDecoder> Decoder;
    Microsoft::WRL::ComPtr<IWICBitmapFrameDecode> Frame;
    Microsoft::WRL::ComPtr<IWICFormatConverter> Converter;  // 32bpp premultiplied BGRA
    UINT Width = 0;
    UINT Height = 0;
};

// Proportional line spacing that a text format refused: its factors, and the
// format's result code.
struct LayoutLineSpacing {
    float LineSpacing = 1.0f;
    float Baseline = 0.8f;
    int32_t FormatResult = 0;
};

struct TextFormat::Impl {
    Microsoft::WRL::ComPtr<IDWriteTextFormat> Format;
    // Proportional spacing that the format refused, for every layout made on it.
    std::optional<LayoutLineSpacing> ForLayouts;
};

struct TextLayout::Impl {
    Microsoft::WRL::ComPtr<IDWriteTextLayout> Layout;
};

// For tests: when set, text formats act as if they refused proportional line
// spacing (as the platform's documentation says they may), so that the spacing
// goes to each layout instead. Off in the program.
extern bool RefuseProportionalSpacingOnFormats;

// A new COM stream over a copy of the stream's bytes, positioned at the start.
// Raises OutOfMemoryException when the platform cannot make one.
Microsoft::WRL::ComPtr<IStream> NativeStream(const ByteStream& stream);

}  // namespace velk::canvas
