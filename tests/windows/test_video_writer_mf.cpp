// The video writer on the Media Foundation sink writer. Wine has neither an MPEG-4
// sink nor an H.264 encoder, so the clip test runs on Windows only; the buffers and
// samples run under Wine as well.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/errors.h"
#include "media/mf_guids_windows.h"
#include "media/video_writer.h"
#include "unit/video_writer_fixtures.h"
#include "wine.h"

using Microsoft::WRL::ComPtr;
using velk::MfGuids;
using namespace velk::video;
using namespace velk::video::test;

namespace {

std::filesystem::path ClipPath(const char* name) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "velk-video-writer";
    std::filesystem::create_directories(dir);
    return dir / name;
}

}  // namespace

// Every identifier has the value of the SDK's constant of the same name.
TEST(VideoWriterMf, IdentifiersAreTheSdkValues) {
#define VELK_SAME(name) {#name, MfGuids::name, ::name}
    const struct {
        const char* name;
        GUID ours, sdk;
    } cases[] = {
        VELK_SAME(MF_MT_MAJOR_TYPE), VELK_SAME(MF_MT_SUBTYPE), VELK_SAME(MF_MT_AUDIO_BITS_PER_SAMPLE),
        VELK_SAME(MF_MT_AUDIO_SAMPLES_PER_SECOND), VELK_SAME(MF_MT_AUDIO_NUM_CHANNELS),
        VELK_SAME(MF_MT_AUDIO_BLOCK_ALIGNMENT), VELK_SAME(MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
        VELK_SAME(MF_MT_AVG_BITRATE), VELK_SAME(MF_MT_INTERLACE_MODE), VELK_SAME(MF_MT_FRAME_SIZE),
        VELK_SAME(MF_MT_FRAME_RATE), VELK_SAME(MF_MT_PIXEL_ASPECT_RATIO), VELK_SAME(MF_MT_DEFAULT_STRIDE),
        VELK_SAME(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS), VELK_SAME(MFMediaType_Audio),
        VELK_SAME(MFMediaType_Video), VELK_SAME(MFAudioFormat_PCM), VELK_SAME(MFAudioFormat_AAC),
        VELK_SAME(MFVideoFormat_H264), VELK_SAME(MFVideoFormat_RGB32),
    };
#undef VELK_SAME
    for (const auto& c : cases) EXPECT_TRUE(IsEqualGUID(c.ours, c.sdk)) << c.name;
}

// Buffers take their valid length up to their size and refuse more; samples take
// buffers and times; types and attribute stores take every key.
TEST(VideoWriterMf, BuffersSamplesAndTypes) {
    Startup();
    auto attributes = CreateAttributes(1);
    attributes->SetUINT32(Attribute::EnableHardwareTransforms, 1);
    std::vector<std::shared_ptr<MediaType>> types = {VideoOut(1920, 1080, 60), VideoIn(1920, 1080, 60),
                                                     AudioType(true, 48000, 2), AudioType(false, 48000, 2)};

    auto buffer = CreateMemoryBuffer(16);
    uint8_t* memory = buffer->Lock();
    ASSERT_NE(memory, nullptr);
    for (int i = 0; i < 16; ++i) memory[i] = static_cast<uint8_t>(i);
    buffer->Unlock();
    buffer->SetCurrentLength(16);
    EXPECT_THROW(buffer->SetCurrentLength(17), velk::ComException);
    auto sample = CreateSample();
    sample->AddBuffer(buffer);
    sample->SetSampleTime(166666);
    sample->SetSampleDuration(166666);
    Shutdown();
}

// Ten frames at 30 fps with stereo sound: the file holds an H.264 stream of that size
// with ten samples and an AAC stream at the rate and channel count given.
TEST(VideoWriterMf, WritesH264AndAac) {
    VELK_SKIP_UNDER_WINE("the sink writer's SetInputMediaType returns E_NOTIMPL (no H.264 encoder)");
    const uint32_t w = 320, h = 180, fps = 30, rate = 48000, channels = 2;
    std::filesystem::path path = ClipPath("clip.mp4");
    std::filesystem::remove(path);
    {
        Startup();
        auto attributes = CreateAttributes(1);
        attributes->SetUINT32(Attribute::EnableHardwareTransforms, 1);
        std::u8string utf8 = path.u8string();
        auto writer = CreateSinkWriterFromURL(std::string(utf8.begin(), utf8.end()), attributes.get());
        uint32_t video = writer->AddStream(*VideoOut(w, h, fps));
        writer->SetInputMediaType(video, *VideoIn(w, h, fps));
        uint32_t audio = writer->AddStream(*AudioType(true, rate, channels));
        writer->SetInputMediaType(audio, *AudioType(false, rate, channels));
        writer->BeginWriting();
        std::vector<uint8_t> frame(size_t(w) * h * 4, 0x80);
        std::vector<uint8_t> sound(size_t(rate / fps) * channels * 2, 0);
        for (int64_t k = 0; k < 10; ++k) {
            Write(*writer, video, frame, k * 10000000 / fps, 10000000 / fps);
            Write(*writer, audio, sound, k * 10000000 / fps, 10000000 / fps);
        }
        writer->Finalize();
        writer.reset();
        Shutdown();
    }

    ASSERT_TRUE(SUCCEEDED(MFStartup(0x00020070, 0)));
    {
        ComPtr<IMFSourceReader> reader;
        ASSERT_TRUE(SUCCEEDED(MFCreateSourceReaderFromURL(path.c_str(), nullptr, &reader)));
        const DWORD videoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        const DWORD audioStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
        ComPtr<IMFMediaType> type;
        ASSERT_TRUE(SUCCEEDED(reader->GetNativeMediaType(videoStream, 0, &type)));
        GUID subtype{};
        UINT64 size = 0;
        type->GetGUID(MfGuids::MF_MT_SUBTYPE, &subtype);
        type->GetUINT64(MfGuids::MF_MT_FRAME_SIZE, &size);
        EXPECT_TRUE(IsEqualGUID(subtype, MfGuids::MFVideoFormat_H264));
        EXPECT_EQ(size, PackPair(w, h));
        ASSERT_TRUE(SUCCEEDED(reader->GetNativeMediaType(audioStream, 0, &type)));
        UINT32 gotRate = 0, gotChannels = 0;
        type->GetGUID(MfGuids::MF_MT_SUBTYPE, &subtype);
        type->GetUINT32(MfGuids::MF_MT_AUDIO_SAMPLES_PER_SECOND, &gotRate);
        type->GetUINT32(MfGuids::MF_MT_AUDIO_NUM_CHANNELS, &gotChannels);
        EXPECT_TRUE(IsEqualGUID(subtype, MfGuids::MFAudioFormat_AAC));
        EXPECT_EQ(gotRate, rate);
        EXPECT_EQ(gotChannels, channels);

        reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
        reader->SetStreamSelection(videoStream, TRUE);
        int samples = 0;
        for (;;) {
            DWORD flags = 0;
            ComPtr<IMFSample> sample;
            ASSERT_TRUE(SUCCEEDED(reader->ReadSample(videoStream, 0, nullptr, &flags, nullptr, &sample)));
            if (sample) ++samples;
            if (flags & MF_SOURCE_READERF_ENDOFSTREAM) break;
        }
        EXPECT_EQ(samples, 10);
    }
    MFShutdown();
    std::filesystem::remove(path);
}
