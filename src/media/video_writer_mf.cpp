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
//
// The platform's writer creates its file (replacing one of that name) as soon as
// it is made, before it has seen a stream. So that a recording the platform would
// refuse before its first sample leaves an existing file as it was and creates
// none, what can be checked without the file is checked first: when the writer is
// made, that the extension names a container documented to hold H.264 and AAC
// (the MPEG-4 and 3GP file sinks) and that the path can be written (its folder
// exists; an existing file is opened for writing and closed again, unchanged);
// the platform's writer itself is made at the first AddStream, after an H.264
// output type has been checked against what the encoder takes (an even, positive
// width and height, for its 4:2:0 and 4:2:2 inputs; a positive frame rate).
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

// File name extensions of the containers whose sinks hold H.264 video and AAC
// audio: the MPEG-4 file sink and the 3GP file sink.
bool HoldsH264AndAac(const std::wstring& path) {
    const size_t dot = path.find_last_of(L'.');
    const size_t slash = path.find_last_of(L"\\/");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return false;
    std::wstring ext = path.substr(dot);
    for (wchar_t& c : ext)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    for (const wchar_t* known : {L".mp4", L".m4v", L".mov", L".m4a", L".3gp", L".3gpp", L".3g2", L".3gp2"})
        if (ext == known) return true;
    return false;
}

// Raises, as creating the file would, when `path` cannot be written: a missing
// folder, a folder of that name, a file that is read-only or that another program
// holds without sharing it for writing. Creates, truncates and changes nothing.
void CheckCanCreate(const std::wstring& path, const std::string& utf8Path, const char* what) {
    const std::string reason = "cannot create " + utf8Path;
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ThrowIfFailed(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), what, reason);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return;  // a new file in an existing folder
        ThrowIfFailed(HRESULT_FROM_WIN32(error), what, reason);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) ThrowIfFailed(E_ACCESSDENIED, what, reason + ": a folder");
    // Opening a read-only file for writing is refused with access denied; said
    // here as well, since not every file system behind the platform refuses it.
    if (attributes & FILE_ATTRIBUTE_READONLY) ThrowIfFailed(E_ACCESSDENIED, what, reason + ": a read-only file");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), what, reason);
    CloseHandle(file);
}

// What the H.264 encoder takes, checked on an H.264 output type before the
// platform's writer (and with it the file) is made: its inputs are 4:2:0 and
// 4:2:2 formats, whose chroma covers two pixels across (and, for 4:2:0, two
// down), so the width and height are even; the frame rate is a ratio of two
// positive numbers.
void CheckH264Output(IMFMediaType* type, const char* what) {
    GUID subtype = GUID_NULL;
    if (FAILED(type->GetGUID(MfGuids::MF_MT_SUBTYPE, &subtype)) || subtype != MfGuids::MFVideoFormat_H264) return;
    UINT64 size = 0, rate = 0;
    if (SUCCEEDED(type->GetUINT64(MfGuids::MF_MT_FRAME_SIZE, &size))) {
        const int32_t w = static_cast<int32_t>(size >> 32), h = static_cast<int32_t>(size & 0xFFFFFFFFu);
        const std::string text = std::to_string(w) + "x" + std::to_string(h);
        if (w <= 0 || h <= 0)
            ThrowIfFailed(MF_E_INVALIDMEDIATYPE, what, "H.264 needs a positive width and height: " + text);
        if (w % 2 != 0 || h % 2 != 0)
            ThrowIfFailed(MF_E_INVALIDMEDIATYPE, what, "H.264 needs an even width and height: " + text);
    }
    if (SUCCEEDED(type->GetUINT64(MfGuids::MF_MT_FRAME_RATE, &rate))) {
        const int32_t num = static_cast<int32_t>(rate >> 32), den = static_cast<int32_t>(rate & 0xFFFFFFFFu);
        if (num <= 0 || den <= 0)
            ThrowIfFailed(MF_E_INVALIDMEDIATYPE, what,
                          "H.264 needs a positive frame rate: " + std::to_string(num) +
                              (den == 1 ? "" : "/" + std::to_string(den)));
    }
}

class MfSinkWriter final : public SinkWriter {
public:
    MfSinkWriter(std::wstring path, ComPtr<IMFAttributes> attributes)
        : path_(std::move(path)), attributes_(std::move(attributes)) {}
    uint32_t AddStream(const MediaType& outputType) override {
        const char* what = "IMFSinkWriter::AddStream";
        IMFMediaType* type = TypeOf(outputType, what);
        if (!writer_ && !finalised_) {
            CheckH264Output(type, what);
            ThrowIfFailed(MFCreateSinkWriterFromURL(path_.c_str(), nullptr, attributes_.Get(), &writer_),
                          "MFCreateSinkWriterFromURL");
            attributes_.Reset();
        }
        DWORD index = 0;
        ThrowIfFailed(Writer(what)->AddStream(type, &index), what);
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
    // The writer, or the platform's answer to a call before the first stream has
    // made it, or after it has let go of an unfinished file at Finalize.
    IMFSinkWriter* Writer(const char* what) const {
        if (finalised_) ThrowIfFailed(MF_E_INVALIDREQUEST, what, "the writer has been finalised");
        if (!writer_) ThrowIfFailed(MF_E_INVALIDREQUEST, what, "the writer has no stream");
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
        finalised_ = true;
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

    std::wstring path_;
    ComPtr<IMFAttributes> attributes_;  // until the platform's writer is made
    ComPtr<IMFSinkWriter> writer_;      // made at the first AddStream
    bool finalised_ = false;
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
    const char* what = "MFCreateSinkWriterFromURL";
    ComPtr<IMFAttributes> store;
    if (attributes) {
        const auto* mf = dynamic_cast<const MfAttributeStore*>(attributes);
        if (!mf) ThrowIfFailed(hr::E_INVALIDARG_, what, "not an attribute store of this writer");
        store = mf->Get();
    }
    if (path.empty()) ThrowIfFailed(hr::E_INVALIDARG_, what, "empty output path");
    std::wstring widePath = Wide(path);
    if (!HoldsH264AndAac(widePath))
        ThrowIfFailed(MF_E_UNSUPPORTED_BYTESTREAM_TYPE, what,
                      "no container for H.264 and AAC for the file name's extension: " + path);
    CheckCanCreate(widePath, path, what);
    return std::make_shared<MfSinkWriter>(std::move(widePath), std::move(store));
}

}  // namespace velk::video
