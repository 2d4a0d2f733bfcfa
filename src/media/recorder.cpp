#include "media/recorder.h"

#include "media/recorder_timing.h"

namespace velk {

using video::Attribute;
using video::Guid;
using video::PackPair;

Recorder::Recorder(velk::Renderer& renderer, velk::Music* music, const std::string& outputPath, int32_t width,
                   int32_t height, int32_t fps)
    : Renderer(renderer), Music(music), Width(width), Height(height), Fps(fps) {
    gpu::Texture2DDesc desc;
    desc.Width = static_cast<uint32_t>(Width);
    desc.Height = static_cast<uint32_t>(Height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = gpu::PixelFormat::B8G8R8A8_UNORM;
    desc.SampleCount = 1;
    desc.SampleQuality = 0;
    desc.Usage = gpu::ResourceUsage::Default;
    desc.BindFlags = gpu::BindRenderTarget;
    desc.CpuAccessFlags = gpu::CpuAccessNone;
    desc.MiscFlags = gpu::MiscNone;
    Target = Renderer.Device->CreateTexture2D(desc);
    TargetView = Renderer.Device->CreateRenderTargetView(Target);
    PendingTarget = Renderer.Device->CreateTexture2D(desc);
    PendingTargetView = Renderer.Device->CreateRenderTargetView(PendingTarget);
    desc.Usage = gpu::ResourceUsage::Staging;
    desc.BindFlags = gpu::BindNone;
    desc.CpuAccessFlags = gpu::CpuAccessRead;
    Staging = Renderer.Device->CreateTexture2D(desc);
    PendingStaging = Renderer.Device->CreateTexture2D(desc);

    Platform.emplace();
    std::shared_ptr<video::Attributes> attributes = video::CreateAttributes(1);
    attributes->SetUINT32(Attribute::EnableHardwareTransforms, 1);
    Writer = video::CreateSinkWriterFromURL(outputPath, attributes.get());

    {
        std::shared_ptr<video::MediaType> output = video::CreateMediaType();
        std::shared_ptr<video::MediaType> input = video::CreateMediaType();
        output->SetGUID(Attribute::MajorType, Guid::MediaTypeVideo);
        output->SetGUID(Attribute::Subtype, Guid::VideoFormatH264);
        output->SetUINT32(Attribute::AvgBitrate, recording::AverageBitRate(Width, Height, Fps));
        output->SetUINT32(Attribute::InterlaceMode, video::InterlaceProgressive);
        output->SetUINT64(Attribute::FrameSize, PackPair(static_cast<uint32_t>(Width), static_cast<uint32_t>(Height)));
        output->SetUINT64(Attribute::FrameRate, PackPair(static_cast<uint32_t>(Fps), 1));
        output->SetUINT64(Attribute::PixelAspectRatio, PackPair(1, 1));
        VideoStream = static_cast<int32_t>(Writer->AddStream(*output));
        input->SetGUID(Attribute::MajorType, Guid::MediaTypeVideo);
        input->SetGUID(Attribute::Subtype, Guid::VideoFormatRGB32);
        input->SetUINT32(Attribute::InterlaceMode, video::InterlaceProgressive);
        input->SetUINT64(Attribute::FrameSize, PackPair(static_cast<uint32_t>(Width), static_cast<uint32_t>(Height)));
        input->SetUINT64(Attribute::FrameRate, PackPair(static_cast<uint32_t>(Fps), 1));
        input->SetUINT64(Attribute::PixelAspectRatio, PackPair(1, 1));
        // A positive stride: the first row in memory is the top of the picture.
        input->SetUINT32(Attribute::DefaultStride, static_cast<uint32_t>(Width) * 4);
        Writer->SetInputMediaType(static_cast<uint32_t>(VideoStream), *input);
        input.reset();
        output.reset();
    }

    if (Music) {
        const uint32_t rate = static_cast<uint32_t>(Music->SampleRate);
        const uint32_t channels = static_cast<uint32_t>(Music->Channels);
        std::shared_ptr<video::MediaType> output = video::CreateMediaType();
        std::shared_ptr<video::MediaType> input = video::CreateMediaType();
        output->SetGUID(Attribute::MajorType, Guid::MediaTypeAudio);
        output->SetGUID(Attribute::Subtype, Guid::AudioFormatAAC);
        output->SetUINT32(Attribute::AudioBitsPerSample, 16);
        output->SetUINT32(Attribute::AudioSamplesPerSecond, rate);
        output->SetUINT32(Attribute::AudioNumChannels, channels);
        output->SetUINT32(Attribute::AudioAvgBytesPerSecond, 24000);
        AudioStream = static_cast<int32_t>(Writer->AddStream(*output));
        input->SetGUID(Attribute::MajorType, Guid::MediaTypeAudio);
        input->SetGUID(Attribute::Subtype, Guid::AudioFormatPCM);
        input->SetUINT32(Attribute::AudioBitsPerSample, 16);
        input->SetUINT32(Attribute::AudioSamplesPerSecond, rate);
        input->SetUINT32(Attribute::AudioNumChannels, channels);
        input->SetUINT32(Attribute::AudioBlockAlignment, static_cast<uint32_t>(Music->Channels * 2));
        input->SetUINT32(Attribute::AudioAvgBytesPerSecond,
                         static_cast<uint32_t>(Music->SampleRate * Music->Channels * 2));
        Writer->SetInputMediaType(static_cast<uint32_t>(AudioStream), *input);
        input.reset();
        output.reset();
    }

    Writer->BeginWriting();
    attributes.reset();
}

Recorder::~Recorder() = default;

float Recorder::Seconds() const { return recording::Seconds(FrameIndex, Fps); }

void Recorder::RecordFrame() {
    const float t = Seconds();
    // The current shader, read afresh: a reload made by the preview applies from here on.
    Renderer.DrawScene(Renderer.PixelShader.get(), TargetView.get(), Width, Height, t);
    // The copy runs behind the draw; the frame before, read back meanwhile from the
    // other target, is written while the GPU works on this one.
    Renderer.Context->CopyResource(*Staging, *Target);
    if (Pending) WritePending();
    std::swap(Target, PendingTarget);
    std::swap(TargetView, PendingTargetView);
    std::swap(Staging, PendingStaging);
    Pending = FrameIndex;
    FrameIndex = FrameIndex + 1;
}

void Recorder::WritePending() {
    const int64_t frame = *Pending;
    Pending.reset();
    const int32_t rowBytes = Width * 4;
    auto [buffer, memory] = CreateLockedBuffer(rowBytes * Height);
    // Waits until the GPU has finished the draw and the copy.
    gpu::MappedSubresource mapped = Renderer.Context->Map(*PendingStaging, 0, gpu::MapType::Read);
    // Packed rows: any padding at the end of a mapped row is skipped.
    recording::PackRows(memory, static_cast<const uint8_t*>(mapped.Data), static_cast<size_t>(rowBytes), Height,
                        mapped.RowPitch);
    Renderer.Context->Unmap(*PendingStaging, 0);
    WriteBuffer(VideoStream, buffer, rowBytes * Height, recording::VideoTime(frame, Fps),
                recording::VideoDuration(Fps));
    buffer.reset();

    // The sound always follows the picture of the same frame.
    if (Music) WriteAudioChunk(frame);
}

void Recorder::WriteAudioChunk(int64_t frame) {
    const int32_t rate = Music->SampleRate;
    const int32_t channels = Music->Channels;
    recording::AudioChunk chunk = recording::AudioChunkOf(frame, rate, Fps);
    velk::Music::PcmView bytes = Music->GetPcm(chunk.Start, chunk.Count);
    if (bytes.empty()) {
        // At or past the track's end: a gap in the sound, marked at the time this
        // frame's sound would have, so that the writer does not hold the picture
        // back waiting for sound to interleave with it.
        Writer->SendStreamTick(static_cast<uint32_t>(AudioStream), chunk.Time);
        return;
    }
    auto [buffer, memory] = CreateLockedBuffer(bytes.Length);
    velk::Music* music = Music;
    recording::FadeSamples(bytes.Data, memory, static_cast<size_t>(bytes.Length), chunk.Start, rate, channels,
                           [music](double seconds) { return music->FadeGain(seconds); });
    WriteBuffer(AudioStream, buffer, bytes.Length, chunk.Time, chunk.Duration);
}

std::pair<std::shared_ptr<video::MediaBuffer>, uint8_t*> Recorder::CreateLockedBuffer(int32_t size) {
    std::shared_ptr<video::MediaBuffer> buffer = video::CreateMemoryBuffer(static_cast<uint32_t>(size));
    uint8_t* memory = buffer->Lock();
    return {std::move(buffer), memory};
}

void Recorder::WriteBuffer(int32_t stream, const std::shared_ptr<video::MediaBuffer>& buffer, int32_t length,
                           int64_t time, int64_t duration) {
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<uint32_t>(length));
    std::shared_ptr<video::Sample> sample = video::CreateSample();
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time);
    sample->SetSampleDuration(duration);
    Writer->WriteSample(static_cast<uint32_t>(stream), *sample);
}

void Recorder::Dispose() {
    if (!Writer) return;
    if (Pending) WritePending();
    Writer->Finalize();
    Writer.reset();
    Platform.reset();
    TargetView.reset();
    Target.reset();
    Staging.reset();
    PendingTargetView.reset();
    PendingTarget.reset();
    PendingStaging.reset();
}

void Recorder::CompleteWithoutGpu() {
    if (!Writer) return;
    Pending.reset();
    std::shared_ptr<video::SinkWriter> writer = std::move(Writer);
    writer->Finalize();
}

}  // namespace velk
