// The video writer on the Media Foundation sink writer. Wine cannot write a file
// through it, so the tests of written files run on Windows only; the buffers and
// samples, and a recorder that cannot be made, run under Wine as well.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/content.h"
#include "host/embedded_store.h"
#include "host/errors.h"
#include "media/mf_guids_windows.h"
#include "media/recorder.h"
#include "media/video_writer.h"
#include "render/renderer.h"
#include "unit/captured_output.h"
#include "unit/video_writer_fixtures.h"
#include "media_foundation.h"
#include "wine.h"

using Microsoft::WRL::ComPtr;
using velk::MfGuids;
using namespace velk::video;
using namespace velk::video::test;

namespace {

// Wine cannot write a file through the sink writer: Wine 8 has no MPEG-4 sink
// (MFCreateSinkWriterFromURL fails with E_INVALIDARG for .mp4) and no H.264
// encoder; Wine 10's SetInputMediaType fails with E_NOTIMPL.
constexpr const char* kNoSinkWriterUnderWine =
    "the sink writer's SetInputMediaType returns E_NOTIMPL (no H.264 encoder): Wine cannot write the file";

std::filesystem::path ClipPath(const char* name) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "velk-video-writer";
    std::filesystem::create_directories(dir);
    return dir / name;
}

std::string Utf8(const std::filesystem::path& path) {
    std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

// A writer on `path` with an H.264 stream (index 0) and, with a rate, an AAC stream
// (index 1), writing.
std::shared_ptr<SinkWriter> BeginClip(const std::filesystem::path& path, uint32_t w, uint32_t h, uint32_t fps,
                                      uint32_t rate, uint32_t channels) {
    auto attributes = CreateAttributes(1);
    attributes->SetUINT32(Attribute::EnableHardwareTransforms, 1);
    auto writer = CreateSinkWriterFromURL(Utf8(path), attributes.get());
    uint32_t video = writer->AddStream(*VideoOut(w, h, fps));
    writer->SetInputMediaType(video, *VideoIn(w, h, fps));
    if (rate) {
        uint32_t audio = writer->AddStream(*AudioType(true, rate, channels));
        writer->SetInputMediaType(audio, *AudioType(false, rate, channels));
    }
    writer->BeginWriting();
    return writer;
}

// The video samples of the file, counted by the source reader.
int VideoSamples(const std::filesystem::path& path) {
    ComPtr<IMFSourceReader> reader;
    if (FAILED(MFCreateSourceReaderFromURL(path.c_str(), nullptr, &reader))) return -1;
    const DWORD videoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
    reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
    reader->SetStreamSelection(videoStream, TRUE);
    int samples = 0;
    for (;;) {
        DWORD flags = 0;
        ComPtr<IMFSample> sample;
        if (FAILED(reader->ReadSample(videoStream, 0, nullptr, &flags, nullptr, &sample))) return -1;
        if (sample) ++samples;
        if (flags & MF_SOURCE_READERF_ENDOFSTREAM) return samples;
    }
}

// The first frame of the file decoded to RGB32 by the source reader's video
// processing: its B, G, R, X bytes, rows top first, `w` x `h` of them.
std::vector<uint8_t> FirstFrameRgb32(const std::filesystem::path& path, uint32_t w, uint32_t h) {
    std::vector<uint8_t> picture;
    ComPtr<IMFAttributes> attributes;
    if (FAILED(MFCreateAttributes(&attributes, 1))) return picture;
    attributes->SetUINT32(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, TRUE);
    ComPtr<IMFSourceReader> reader;
    EXPECT_EQ(MFCreateSourceReaderFromURL(path.c_str(), attributes.Get(), &reader), S_OK);
    if (!reader) return picture;
    const DWORD videoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
    reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
    reader->SetStreamSelection(videoStream, TRUE);
    ComPtr<IMFMediaType> rgb;
    MFCreateMediaType(&rgb);
    rgb->SetGUID(MfGuids::MF_MT_MAJOR_TYPE, MfGuids::MFMediaType_Video);
    rgb->SetGUID(MfGuids::MF_MT_SUBTYPE, MfGuids::MFVideoFormat_RGB32);
    EXPECT_EQ(reader->SetCurrentMediaType(videoStream, nullptr, rgb.Get()), S_OK);
    ComPtr<IMFMediaType> current;
    EXPECT_EQ(reader->GetCurrentMediaType(videoStream, &current), S_OK);
    if (!current) return picture;
    UINT64 size = 0;
    current->GetUINT64(MfGuids::MF_MT_FRAME_SIZE, &size);
    const uint32_t frameWidth = static_cast<uint32_t>(size >> 32), frameHeight = static_cast<uint32_t>(size);
    EXPECT_GE(frameWidth, w);
    EXPECT_GE(frameHeight, h);
    if (frameWidth < w || frameHeight < h) return picture;
    ComPtr<IMFSample> sample;
    for (int reads = 0; !sample && reads < 100; ++reads) {
        DWORD flags = 0;
        if (FAILED(reader->ReadSample(videoStream, 0, nullptr, &flags, nullptr, &sample))) break;
        if (flags & MF_SOURCE_READERF_ENDOFSTREAM) break;
    }
    EXPECT_TRUE(sample) << "no frame decoded";
    if (!sample) return picture;
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->GetBufferByIndex(0, &buffer))) return picture;
    picture.resize(size_t(w) * h * 4);
    auto copyRows = [&](const BYTE* top, LONG pitch) {
        for (uint32_t y = 0; y < h; ++y) std::memcpy(&picture[size_t(y) * w * 4], top + LONG(y) * pitch, size_t(w) * 4);
    };
    // A 2D buffer gives its top row and pitch (negative for a bottom-up picture);
    // a plain one follows the type's default stride.
    ComPtr<IMF2DBuffer> buffer2d;
    BYTE* top = nullptr;
    LONG pitch = 0;
    if (SUCCEEDED(buffer.As(&buffer2d)) && SUCCEEDED(buffer2d->Lock2D(&top, &pitch))) {
        copyRows(top, pitch);
        buffer2d->Unlock2D();
        return picture;
    }
    UINT32 stride = 0;
    if (FAILED(current->GetUINT32(MfGuids::MF_MT_DEFAULT_STRIDE, &stride))) {
        LONG computed = 0;
        MFGetStrideForBitmapInfoHeader(MfGuids::MFVideoFormat_RGB32.Data1, frameWidth, &computed);
        stride = static_cast<UINT32>(computed);
    }
    BYTE* data = nullptr;
    DWORD length = 0;
    if (FAILED(buffer->Lock(&data, nullptr, &length))) return {};
    pitch = static_cast<LONG>(stride);
    copyRows(pitch < 0 ? data + size_t(-pitch) * (frameHeight - 1) : data, pitch);
    buffer->Unlock();
    return picture;
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
        VELK_SAME(MF_BYTESTREAM_CONTENT_TYPE), VELK_SAME(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS),
        VELK_SAME(MFMediaType_Audio),
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
// with ten samples and an AAC stream at the rate and channel count given, and its
// first frame shows each quadrant in its colour and place.
TEST(VideoWriterMf, WritesH264AndAac) {
    VELK_SKIP_UNDER_WINE(kNoSinkWriterUnderWine);
    const uint32_t w = 320, h = 180, fps = 30, rate = 48000, channels = 2;
    std::filesystem::path path = ClipPath("clip.mp4");
    std::filesystem::remove(path);
    {
        Startup();
        auto writer = BeginClip(path, w, h, fps, rate, channels);
        std::vector<uint8_t> frame = QuadrantFrame(w, h);
        std::vector<uint8_t> sound(size_t(rate / fps) * channels * 2, 0);
        for (int64_t k = 0; k < 10; ++k) {
            Write(*writer, 0, frame, k * 10000000 / fps, 10000000 / fps);
            Write(*writer, 1, sound, k * 10000000 / fps, 10000000 / fps);
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
        reader.Reset();
        EXPECT_EQ(VideoSamples(path), 10);

        // The colour conversions on the way in and out may use other matrices than
        // FFmpeg's: a loose bound, still far below what a flip or a swap changes.
        std::vector<uint8_t> picture = FirstFrameRgb32(path, w, h);
        ASSERT_EQ(picture.size(), size_t(w) * h * 4);
        ExpectQuadrants(w, h, 24, [&](uint32_t x, uint32_t y) {
            const uint8_t* p = &picture[(size_t(y) * w + x) * 4];
            return Rgb{p[2], p[1], p[0]};
        });
    }
    MFShutdown();
    std::filesystem::remove(path);
}

// A writer finalised without any sample, which the sink writer refuses to
// complete, returns and leaves no file behind.
TEST(VideoWriterMf, FinalisingWithoutSamplesLeavesNoFile) {
    VELK_SKIP_UNDER_WINE(kNoSinkWriterUnderWine);
    std::filesystem::path path = ClipPath("empty.mp4");
    std::filesystem::remove(path);
    Started started;
    auto writer = BeginClip(path, 320, 180, 60, 44100, 2);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_NO_THROW(writer->Finalize());
    writer.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Video that goes on after the sound has run out, the gap marked by a stream tick
// on the audio stream for every frame: every frame reaches the file.
TEST(VideoWriterMf, VideoGoesOnAfterTheSound) {
    VELK_SKIP_UNDER_WINE(kNoSinkWriterUnderWine);
    const uint32_t w = 64, h = 36, fps = 10, rate = 48000, channels = 2;
    std::filesystem::path path = ClipPath("longer.mp4");
    std::filesystem::remove(path);
    {
        Started started;
        auto writer = BeginClip(path, w, h, fps, rate, channels);
        std::vector<uint8_t> frame = QuadrantFrame(w, h);
        std::vector<uint8_t> sound(size_t(rate / fps) * channels * 2, 0);
        for (int64_t k = 0; k < 40; ++k) {
            Write(*writer, 0, frame, k * 10000000 / fps, 10000000 / fps);
            if (k < 10)
                Write(*writer, 1, sound, k * 10000000 / fps, 10000000 / fps);
            else
                writer->SendStreamTick(1, k * 10000000 / fps);
        }
        writer->Finalize();
    }
    ASSERT_TRUE(SUCCEEDED(MFStartup(0x00020070, 0)));
    EXPECT_EQ(VideoSamples(path), 40);
    MFShutdown();
    std::filesystem::remove(path);
}

// A recorder that cannot make its writer (the file's folder is missing) raises and
// leaves Media Foundation shut down, as it found it.
TEST(VideoWriterMf, RecorderThatCannotBeMadeLeavesMediaFoundationShutDown) {
    std::filesystem::path root = std::filesystem::temp_directory_path() /
                                 ("velk-recorder-mf-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(root / "Shaders");
    std::ofstream(root / "Shaders" / "demo.hlsl", std::ios::binary)
        << "cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };\n"
           "//@settings\n"
           "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
           "{ float2 uv = float2((id << 1) & 2, id & 2); return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1); }\n"
           "float4 PSMain(float4 pos : SV_Position) : SV_Target { return float4(0.5, 0.5, 0.5, 1); }\n";
    std::ofstream(root / "Shaders" / "demo.hlsl.json", std::ios::binary) << "{}";
    velk::Content::InitializeForTest(Utf8(root), velk::EmbeddedStore());
    {
        velk::test::CapturedOutput capture;
        velk::Renderer renderer(0, 1, 1);
        capture.TakeOut();
        ASSERT_FALSE(velk::test::MediaFoundationStarted());
        EXPECT_THROW(velk::Recorder(renderer, nullptr, Utf8(root / "missing" / "out.mp4"), 64, 36, 10),
                     velk::ComException);
        EXPECT_TRUE(velk::test::MediaFoundationShutsDown());
        renderer.Dispose();
    }
    velk::Content::InitializeForTest(std::nullopt, velk::EmbeddedStore());
    std::filesystem::remove_all(root);
}

// A recording refused before the platform's writer is made (when the writer is
// made, or at the first AddStream, on what the H.264 encoder does not take)
// leaves an existing file of that name byte for byte as it was and makes none
// where there was none. Nothing here reaches the platform's writer, so it runs
// under Wine too.
TEST(VideoWriterMf, RefusedStartLeavesThePathAsItWas) {
    const std::filesystem::path dir = ClipPath("refused");
    std::filesystem::create_directories(dir);
    auto errorOf = [](auto&& start) -> std::string {
        try {
            start();
        } catch (const velk::ComException& e) {
            EXPECT_LT(e.Code(), 0);
            return e.what();
        }
        return "(no error)";
    };
    auto bytesOf = [](const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    Started started;
    struct Case {
        const char* file;
        uint32_t w, h, fps;
        std::string expected;  // before the path, which follows where `withPath` is set
        bool withPath;
        bool canExist;
    };
    const std::string addStream = "IMFSinkWriter::AddStream failed: 0xC00D36B4: ";
    const std::string noContainer =
        "MFCreateSinkWriterFromURL failed: 0xC00D36C4: no container for H.264 and AAC for the file name's extension: ";
    const std::vector<Case> cases = {
        {"odd.mp4", 641, 361, 30, addStream + "H.264 needs an even width and height: 641x361", false, true},
        {"zero.mp4", 0, 180, 30, addStream + "H.264 needs a positive width and height: 0x180", false, true},
        {"still.mp4", 320, 180, 0, addStream + "H.264 needs a positive frame rate: 0", false, true},
        {"backwards.mp4", 320, 180, static_cast<uint32_t>(-5), addStream + "H.264 needs a positive frame rate: -5",
         false, true},
        {"keep.wav", 320, 180, 30, noContainer, true, true},
        {"keep.gif", 320, 180, 30, noContainer, true, true},
        {"keep.mp3", 320, 180, 30, noContainer, true, true},
        {"keep.mkv", 320, 180, 30, noContainer, true, true},
        {"keep", 320, 180, 30, noContainer, true, true},
        {"missing\\keep.mp4", 320, 180, 30, "MFCreateSinkWriterFromURL failed: 0x80070003: cannot create ", true,
         false},
    };
    const std::string kept = "an earlier recording, kept\n";
    for (const Case& c : cases) {
        const std::filesystem::path path = dir / c.file;
        const std::string expected = c.expected + (c.withPath ? Utf8(path) : "");
        for (bool existing : {true, false}) {
            if (existing && !c.canExist) continue;
            std::filesystem::remove(path);
            if (existing) std::ofstream(path, std::ios::binary) << kept;
            const std::string message = errorOf([&] {
                auto writer = CreateSinkWriterFromURL(Utf8(path), nullptr);
                writer->AddStream(*VideoOut(c.w, c.h, c.fps));
            });
            const std::string which = std::string(c.file) + (existing ? " over a file" : " where there is none");
            EXPECT_NE(message.find(expected), std::string::npos) << which << ": " << message;
            if (existing)
                EXPECT_EQ(bytesOf(path), kept) << which;
            else
                EXPECT_FALSE(std::filesystem::exists(path)) << which;
        }
        std::filesystem::remove(path);
    }

    // A path that cannot be written is refused when the writer is made, and what
    // stands in its way stays: a read-only file, a folder of that name, a file
    // where a folder of the path should be.
    const std::filesystem::path readOnly = dir / "readonly.mp4";
    std::ofstream(readOnly, std::ios::binary) << kept;
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(errorOf([&] { CreateSinkWriterFromURL(Utf8(readOnly), nullptr); })
                  .find("MFCreateSinkWriterFromURL failed: 0x80070005: cannot create " + Utf8(readOnly)),
              std::string::npos);
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(bytesOf(readOnly), kept);
    const std::filesystem::path folder = dir / "folder.mp4";
    std::filesystem::create_directories(folder / "inside");
    EXPECT_NE(errorOf([&] { CreateSinkWriterFromURL(Utf8(folder), nullptr); })
                  .find("MFCreateSinkWriterFromURL failed: 0x80070005: cannot create " + Utf8(folder) + ": a folder"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(folder / "inside"));
    const std::filesystem::path plain = dir / "plain";
    std::ofstream(plain, std::ios::binary) << kept;
    EXPECT_NE(errorOf([&] { CreateSinkWriterFromURL(Utf8(plain / "keep.mp4"), nullptr); })
                  .find("MFCreateSinkWriterFromURL failed: 0x80070003: cannot create "),
              std::string::npos);
    EXPECT_EQ(bytesOf(plain), kept);

    // The writer touches no file until its first stream has been checked, and the
    // extension is matched in any letter case.
    const std::filesystem::path later = dir / "LATER.MP4";
    std::filesystem::remove(later);
    EXPECT_NO_THROW(CreateSinkWriterFromURL(Utf8(later), nullptr));
    EXPECT_FALSE(std::filesystem::exists(later));
    std::filesystem::remove_all(dir);
}
