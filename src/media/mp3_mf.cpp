// MP3 decoding with the Media Foundation source reader, fed from memory.
//
// Maps: the bytes go into a memory IStream, a Media Foundation byte stream on it
// and a synchronous source reader on that. The reader is given no URL, so the
// byte stream carries the MP3's MIME type ("audio/mpeg") in its attributes:
// Windows picks the media source by a URL's extension or by that type, and fails
// the reader's creation with neither.
// Only the first audio stream is selected; its output type is asked for as 16-bit
// PCM without a rate or channel count, so the reader's decoder keeps those of the
// file; they are read back from the complete output type. The samples are then
// read and their bytes appended in the order read until the end-of-stream flag.
// Media Foundation is started and shut down inside the call.
// Cannot: trim the encoder's delay and padding (the platform decoder delivers
// whatever it decodes, on some platforms every frame in full); follow a stream
// that changes its format midway (the bit depth is not read back).
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "host/com_streams.h"
#include "host/errors.h"
#include "host/windows_sdk_compat.h"
#include "media/mf_guids_windows.h"
#include "media/mp3.h"
#include "media/mp3_mf_windows.h"

using Microsoft::WRL::ComPtr;

namespace velk::mp3 {
namespace {

constexpr ULONG kMfVersion = 0x00020070;  // MF_VERSION
constexpr DWORD kMfStartupFull = 0;       // MFSTARTUP_FULL
constexpr DWORD kFirstAudioStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
constexpr DWORD kAllStreams = static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS);
constexpr DWORD kEndOfStream = 0x2;  // MF_SOURCE_READERF_ENDOFSTREAM

// MFStartup when made, the matching MFShutdown when it goes: also when decoding
// raises, Media Foundation is left as it was found.
class Started {
public:
    Started() { ThrowIfFailed(MFStartup(kMfVersion, kMfStartupFull), "MFStartup"); }
    ~Started() { MFShutdown(); }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
};

}  // namespace

ComPtr<IMFByteStream> MakeByteStream(IStream* stream) {
    ComPtr<IMFByteStream> byteStream;
    ThrowIfFailed(MFCreateMFByteStreamOnStream(stream, &byteStream), "MFCreateMFByteStreamOnStream");
    ComPtr<IMFAttributes> attributes;
    ThrowIfFailed(byteStream.As(&attributes), "IMFByteStream::QueryInterface(IMFAttributes)");
    ThrowIfFailed(attributes->SetString(MfGuids::MF_BYTESTREAM_CONTENT_TYPE, L"audio/mpeg"),
                  "IMFAttributes::SetString(MF_BYTESTREAM_CONTENT_TYPE)");
    return byteStream;
}

Format Decode(const uint8_t* data, size_t size, std::vector<uint8_t>& pcm) {
    Started started;

    std::unique_ptr<ByteStream> stream = ComStreams::FromBytes({data, size});
    ComPtr<IMFByteStream> byteStream = MakeByteStream(static_cast<IStream*>(stream->NativeStream()));
    ComPtr<IMFSourceReader> reader;
    ThrowIfFailed(MFCreateSourceReaderFromByteStream(byteStream.Get(), nullptr, &reader),
                  "MFCreateSourceReaderFromByteStream");

    ThrowIfFailed(reader->SetStreamSelection(kAllStreams, FALSE), "IMFSourceReader::SetStreamSelection");
    ThrowIfFailed(reader->SetStreamSelection(kFirstAudioStream, TRUE), "IMFSourceReader::SetStreamSelection");

    // 16-bit PCM, nothing more: the decoder keeps the file's rate and channel count.
    {
        ComPtr<IMFMediaType> partial;
        ThrowIfFailed(MFCreateMediaType(&partial), "MFCreateMediaType");
        partial->SetGUID(MfGuids::MF_MT_MAJOR_TYPE, MfGuids::MFMediaType_Audio);
        partial->SetGUID(MfGuids::MF_MT_SUBTYPE, MfGuids::MFAudioFormat_PCM);
        partial->SetUINT32(MfGuids::MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
        ThrowIfFailed(reader->SetCurrentMediaType(kFirstAudioStream, nullptr, partial.Get()),
                      "IMFSourceReader::SetCurrentMediaType");
    }

    Format format;
    {
        ComPtr<IMFMediaType> output;
        ThrowIfFailed(reader->GetCurrentMediaType(kFirstAudioStream, &output), "IMFSourceReader::GetCurrentMediaType");
        UINT32 rate = 0, channels = 0;
        ThrowIfFailed(output->GetUINT32(MfGuids::MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate), "IMFAttributes::GetUINT32");
        ThrowIfFailed(output->GetUINT32(MfGuids::MF_MT_AUDIO_NUM_CHANNELS, &channels), "IMFAttributes::GetUINT32");
        format.SampleRate = static_cast<int32_t>(rate);
        format.Channels = static_cast<int32_t>(channels);
    }

    for (;;) {
        DWORD actualStream = 0, flags = 0;
        LONGLONG timestamp = 0;
        ComPtr<IMFSample> sample;
        ThrowIfFailed(reader->ReadSample(kFirstAudioStream, 0, &actualStream, &flags, &timestamp, &sample),
                      "IMFSourceReader::ReadSample");
        if (sample) {
            ComPtr<IMFMediaBuffer> buffer;
            ThrowIfFailed(sample->ConvertToContiguousBuffer(&buffer), "IMFSample::ConvertToContiguousBuffer");
            BYTE* bytes = nullptr;
            DWORD maxLength = 0, currentLength = 0;
            ThrowIfFailed(buffer->Lock(&bytes, &maxLength, &currentLength), "IMFMediaBuffer::Lock");
            if (currentLength > static_cast<DWORD>(std::numeric_limits<int32_t>::max()))
                throw ArgumentOutOfRangeException("IMFMediaBuffer::Lock gave a negative length (" +
                                                  std::to_string(static_cast<int32_t>(currentLength)) + ").");
            pcm.insert(pcm.end(), bytes, bytes + currentLength);
            ThrowIfFailed(buffer->Unlock(), "IMFMediaBuffer::Unlock");
        }
        // A read that brings the last sample with the end flag has been kept above.
        if (flags & kEndOfStream) break;
    }

    // Released before Media Foundation shuts down.
    reader.Reset();
    byteStream.Reset();
    stream.reset();
    return format;
}

}  // namespace velk::mp3
