// Video writer layer on the Media Foundation sink writer.
//
// Maps every call one to one: Startup and Shutdown are MFStartup(MF_VERSION,
// MFSTARTUP_FULL) and MFShutdown; attribute stores and media types are
// IMFAttributes and IMFMediaType, their keys and values the identifiers of
// MfGuids; buffers are system-memory IMFMediaBuffers, samples IMFSamples; the
// writer is MFCreateSinkWriterFromURL on the path (UTF-8 here, UTF-16 for the
// platform), with no byte stream, used synchronously. A failing result code raises
// ComException with the call's name and the code, at the call; attribute setters
// and MFShutdown report nothing. A stream tick is IMFSinkWriter::SendStreamTick.
// Finalize without any sample written fails on the platform
// (MF_E_SINK_NO_SAMPLES_PROCESSED): the file it began is then removed and
// Finalize returns, so that such a writer leaves no unfinished file behind.
// Cannot: choose the container or the encoders: the platform picks them from the
// file name's extension and the output media types.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <string>

#include "host/errors.h"
#include "media/mf_guids_windows.h"
#include "media/video_writer.h"

using Microsoft::WRL::ComPtr;

namespace velk::video {
namespace {

constexpr ULONG kMfVersion = 0x00020070;  // MF_VERSION
constexpr DWORD kMfStartupFull = 0;       // MFSTARTUP_FULL

const GUID& KeyOf(Attribute key) {
    switch (key) {
        case Attribute::MajorType: return MfGuids::MF_MT_MAJOR_TYPE;
        case Attribute::Subtype: return MfGuids::MF_MT_SUBTYPE;
        case Attribute::AvgBitrate: return MfGuids::MF_MT_AVG_BITRATE;
        case Attribute::InterlaceMode: return MfGuids::MF_MT_INTERLACE_MODE;
        case Attribute::FrameSize: return MfGuids::MF_MT_FRAME_SIZE;
        case Attribute::FrameRate: return MfGuids::MF_MT_FRAME_RATE;
        case Attribute::PixelAspectRatio: return MfGuids::MF_MT_PIXEL_ASPECT_RATIO;
        case Attribute::DefaultStride: return MfGuids::MF_MT_DEFAULT_STRIDE;
        case Attribute::AudioBitsPerSample: return MfGuids::MF_MT_AUDIO_BITS_PER_SAMPLE;
        case Attribute::AudioSamplesPerSecond: return MfGuids::MF_MT_AUDIO_SAMPLES_PER_SECOND;
        case Attribute::AudioNumChannels: return MfGuids::MF_MT_AUDIO_NUM_CHANNELS;
        case Attribute::AudioAvgBytesPerSecond: return MfGuids::MF_MT_AUDIO_AVG_BYTES_PER_SECOND;
        case Attribute::AudioBlockAlignment: return MfGuids::MF_MT_AUDIO_BLOCK_ALIGNMENT;
        case Attribute::EnableHardwareTransforms: return MfGuids::MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS;
    }
    return GUID_NULL;
}

const GUID& ValueOf(Guid value) {
    switch (value) {
        case Guid::MediaTypeVideo: return MfGuids::MFMediaType_Video;
        case Guid::MediaTypeAudio: return MfGuids::MFMediaType_Audio;
        case Guid::VideoFormatH264: return MfGuids::MFVideoFormat_H264;
        case Guid::VideoFormatRGB32: return MfGuids::MFVideoFormat_RGB32;
        case Guid::AudioFormatAAC: return MfGuids::MFAudioFormat_AAC;
        case Guid::AudioFormatPCM: return MfGuids::MFAudioFormat_PCM;
    }
    return GUID_NULL;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// The setters' results are not looked at, here nor on the media types.
class MfAttributeStore final : public Attributes {
public:
    explicit MfAttributeStore(ComPtr<IMFAttributes> store) : store_(std::move(store)) {}
    void SetGUID(Attribute key, Guid value) override { store_->SetGUID(KeyOf(key), ValueOf(value)); }
    void SetUINT32(Attribute key, uint32_t value) override { store_->SetUINT32(KeyOf(key), value); }
    void SetUINT64(Attribute key, uint64_t value) override { store_->SetUINT64(KeyOf(key), value); }
    IMFAttributes* Get() const { return store_.Get(); }

private:
    ComPtr<IMFAttributes> store_;
};

class MfMediaType final : public MediaType {
public:
    explicit MfMediaType(ComPtr<IMFMediaType> type) : type_(std::move(type)) {}
    void SetGUID(Attribute key, Guid value) override { type_->SetGUID(KeyOf(key), ValueOf(value)); }
    void SetUINT32(Attribute key, uint32_t value) override { type_->SetUINT32(KeyOf(key), value); }
    void SetUINT64(Attribute key, uint64_t value) override { type_->SetUINT64(KeyOf(key), value); }
    IMFMediaType* Get() const { return type_.Get(); }

private:
    ComPtr<IMFMediaType> type_;
};

IMFMediaType* TypeOf(const MediaType& type, const char* call) {
    const auto* mf = dynamic_cast<const MfMediaType*>(&type);
    if (!mf) ThrowIfFailed(hr::E_INVALIDARG_, call, "not a media type of this writer");
    return mf->Get();
}

class MfBuffer final : public MediaBuffer {
public:
    explicit MfBuffer(ComPtr<IMFMediaBuffer> buffer) : buffer_(std::move(buffer)) {}
    uint8_t* Lock() override {
        BYTE* data = nullptr;
        DWORD maxLength = 0, currentLength = 0;
        ThrowIfFailed(buffer_->Lock(&data, &maxLength, &currentLength), "IMFMediaBuffer::Lock");
        return data;
    }
    void Unlock() override { ThrowIfFailed(buffer_->Unlock(), "IMFMediaBuffer::Unlock"); }
    void SetCurrentLength(uint32_t length) override {
        ThrowIfFailed(buffer_->SetCurrentLength(length), "IMFMediaBuffer::SetCurrentLength");
    }
    IMFMediaBuffer* Get() const { return buffer_.Get(); }

private:
    ComPtr<IMFMediaBuffer> buffer_;
};

class MfSample final : public Sample {
public:
    explicit MfSample(ComPtr<IMFSample> sample) : sample_(std::move(sample)) {}
    void AddBuffer(const std::shared_ptr<MediaBuffer>& buffer) override {
        auto* mf = dynamic_cast<MfBuffer*>(buffer.get());
        if (!mf) ThrowIfFailed(hr::E_INVALIDARG_, "IMFSample::AddBuffer", "not a buffer of this writer");
        ThrowIfFailed(sample_->AddBuffer(mf->Get()), "IMFSample::AddBuffer");
    }
    void SetSampleTime(int64_t time) override {
        ThrowIfFailed(sample_->SetSampleTime(time), "IMFSample::SetSampleTime");
    }
    void SetSampleDuration(int64_t duration) override {
        ThrowIfFailed(sample_->SetSampleDuration(duration), "IMFSample::SetSampleDuration");
    }
    IMFSample* Get() const { return sample_.Get(); }

private:
    ComPtr<IMFSample> sample_;
};

class MfSinkWriter final : public SinkWriter {
public:
    MfSinkWriter(ComPtr<IMFSinkWriter> writer, std::wstring path)
        : writer_(std::move(writer)), path_(std::move(path)) {}
    uint32_t AddStream(const MediaType& outputType) override {
        const char* what = "IMFSinkWriter::AddStream";
        DWORD index = 0;
        ThrowIfFailed(Writer(what)->AddStream(TypeOf(outputType, what), &index), what);
        return index;
    }
    void SetInputMediaType(uint32_t stream, const MediaType& inputType) override {
        const char* what = "IMFSinkWriter::SetInputMediaType";
        ThrowIfFailed(Writer(what)->SetInputMediaType(stream, TypeOf(inputType, what), nullptr), what);
    }
    void BeginWriting() override {
        ThrowIfFailed(Writer("IMFSinkWriter::BeginWriting")->BeginWriting(), "IMFSinkWriter::BeginWriting");
    }
    void WriteSample(uint32_t stream, Sample& sample) override {
        const char* what = "IMFSinkWriter::WriteSample";
        auto* mf = dynamic_cast<MfSample*>(&sample);
        if (!mf) ThrowIfFailed(hr::E_INVALIDARG_, what, "not a sample of this writer");
        ThrowIfFailed(Writer(what)->WriteSample(stream, mf->Get()), what);
    }
    void SendStreamTick(uint32_t stream, int64_t time) override {
        const char* what = "IMFSinkWriter::SendStreamTick";
        ThrowIfFailed(Writer(what)->SendStreamTick(stream, time), what);
    }
    void Finalize() override {
        const char* what = "IMFSinkWriter::Finalize";
        const HRESULT result = Writer(what)->Finalize();
        if (result == MF_E_SINK_NO_SAMPLES_PROCESSED) {
            RemoveUnfinishedFile(result);
            return;
        }
        ThrowIfFailed(result, what);
    }

private:
    // The writer, or, once it has let go of an unfinished file, the platform's
    // answer to a call after Finalize.
    IMFSinkWriter* Writer(const char* what) const {
        if (!writer_) ThrowIfFailed(MF_E_INVALIDREQUEST, what, "the writer has been finalised");
        return writer_.Get();
    }

    // A sink writer to which no sample was written cannot complete its file. Its
    // media sink is shut down, which lets go of the file, the writer is released,
    // and the file it began is removed. A file that cannot be removed raises.
    void RemoveUnfinishedFile(HRESULT finalizeResult) {
        ComPtr<IMFMediaSink> sink;
        if (SUCCEEDED(writer_->GetServiceForStream(MF_SINK_WRITER_MEDIASINK, GUID_NULL, IID_PPV_ARGS(&sink))))
            sink->Shutdown();
        sink.Reset();
        writer_.Reset();
        if (path_.empty()) return;
        // The platform may close the file a moment after the release.
        DWORD error = ERROR_SUCCESS;
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (DeleteFileW(path_.c_str())) return;
            error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
            if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
            Sleep(10);
        }
        const int32_t code = HRESULT_FROM_WIN32(error);
        ThrowIfFailed(code < 0 ? code : finalizeResult, "IMFSinkWriter::Finalize",
                      "no sample was written, and the unfinished file cannot be removed");
    }

    ComPtr<IMFSinkWriter> writer_;
    std::wstring path_;
};

}  // namespace

void Startup() { ThrowIfFailed(MFStartup(kMfVersion, kMfStartupFull), "MFStartup"); }

void Shutdown() { MFShutdown(); }

std::shared_ptr<Attributes> CreateAttributes(uint32_t initialSize) {
    ComPtr<IMFAttributes> store;
    ThrowIfFailed(MFCreateAttributes(&store, initialSize), "MFCreateAttributes");
    return std::make_shared<MfAttributeStore>(std::move(store));
}

std::shared_ptr<MediaType> CreateMediaType() {
    ComPtr<IMFMediaType> type;
    ThrowIfFailed(MFCreateMediaType(&type), "MFCreateMediaType");
    return std::make_shared<MfMediaType>(std::move(type));
}

std::shared_ptr<MediaBuffer> CreateMemoryBuffer(uint32_t maxLength) {
    ComPtr<IMFMediaBuffer> buffer;
    ThrowIfFailed(MFCreateMemoryBuffer(maxLength, &buffer), "MFCreateMemoryBuffer");
    return std::make_shared<MfBuffer>(std::move(buffer));
}

std::shared_ptr<Sample> CreateSample() {
    ComPtr<IMFSample> sample;
    ThrowIfFailed(MFCreateSample(&sample), "MFCreateSample");
    return std::make_shared<MfSample>(std::move(sample));
}

std::shared_ptr<SinkWriter> CreateSinkWriterFromURL(const std::string& path, const Attributes* attributes) {
    IMFAttributes* store = nullptr;
    if (attributes) {
        const auto* mf = dynamic_cast<const MfAttributeStore*>(attributes);
        if (!mf) ThrowIfFailed(hr::E_INVALIDARG_, "MFCreateSinkWriterFromURL", "not an attribute store of this writer");
        store = mf->Get();
    }
    std::wstring widePath = Wide(path);
    ComPtr<IMFSinkWriter> writer;
    ThrowIfFailed(MFCreateSinkWriterFromURL(widePath.c_str(), nullptr, store, &writer), "MFCreateSinkWriterFromURL");
    return std::make_shared<MfSinkWriter>(std::move(writer), std::move(widePath));
}

}  // namespace velk::video
