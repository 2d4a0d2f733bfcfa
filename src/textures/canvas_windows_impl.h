// What the Windows 2D layer's files (canvas_d2d.cpp, canvas_wic.cpp) share: the
// native objects behind a canvas and an image, and the stream over a ByteStream's
// bytes. Windows-only; the layer's header canvas.h stays free of these types.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <d2d1_1.h>

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

// A new COM stream over a copy of the stream's bytes, positioned at the start.
// Raises OutOfMemoryException when the platform cannot make one.
Microsoft::WRL::ComPtr<IStream> NativeStream(const ByteStream& stream);

}  // namespace velk::canvas
