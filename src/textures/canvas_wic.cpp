// Images on Windows: the imaging component decodes the bytes (any format it
// recognises from the stream itself) and converts the first frame to 32bpp
// premultiplied BGRA; canvas_d2d.cpp draws the converter's output.
#include <windows.h>

#include "host/com_streams.h"
#include "host/errors.h"
#include "textures/canvas_windows_impl.h"

using Microsoft::WRL::ComPtr;

namespace velk::canvas {

// The COM stream that ComStreams.FromBytes made, with a reference of its own.
ComPtr<IStream> NativeStream(const ByteStream& stream) {
    ComPtr<IStream> native(static_cast<IStream*>(stream.NativeStream()));
    if (!native) throw InvalidOperationException("The byte stream has no COM stream.");
    return native;
}

Image::Image(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Image::~Image() = default;
uint32_t Image::Width() const { return impl_->Width; }
uint32_t Image::Height() const { return impl_->Height; }

std::unique_ptr<Image> Image::Decode(const ByteStream& stream) {
    auto impl = std::make_unique<Impl>();
    ThrowIfFailed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&impl->Factory)),
                  "CoCreateInstance(CLSID_WICImagingFactory)");
    impl->Stream = NativeStream(stream);
    ThrowIfFailed(impl->Factory->CreateDecoderFromStream(impl->Stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad,
                                                         &impl->Decoder),
                  "IWICImagingFactory::CreateDecoderFromStream");
    ThrowIfFailed(impl->Decoder->GetFrame(0, &impl->Frame), "IWICBitmapDecoder::GetFrame");
    ThrowIfFailed(impl->Factory->CreateFormatConverter(&impl->Converter), "IWICImagingFactory::CreateFormatConverter");
    // Its result is not checked: a converter that could not be set up makes the
    // drawing's bitmap creation fail instead.
    (void)impl->Converter->Initialize(impl->Frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone,
                                      nullptr, 0.0, WICBitmapPaletteTypeCustom);
    ThrowIfFailed(impl->Frame->GetSize(&impl->Width, &impl->Height), "IWICBitmapSource::GetSize");
    return std::unique_ptr<Image>(new Image(std::move(impl)));
}

}  // namespace velk::canvas
