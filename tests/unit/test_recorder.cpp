// The recorder against the real GPU and video writer (X display): each frame of
// the file is the picture of its own time, in order, the last one included,
// although each frame is written while the next one is drawn; sound that runs out
// before the pictures do leaves a gap that the writer is told of.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "command_output.h"
#include "host/content.h"
#include "media/music.h"
#include "media/recorder.h"
#include "music_test_sounds.h"
#include "render/renderer.h"

using namespace velk;
namespace fs = std::filesystem;

namespace {

// Grey level 30 x (the frame's number at 10 frames a second).
const char* kShader =
    "cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };\n"
    "//@settings\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float4 PSMain(float4 pos : SV_Position) : SV_Target { return float4((round(iTime * 10) * 30 / 255).xxx, 1); }\n";

TEST(Recorder, EveryFrameShowsItsOwnTimeInOrder) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    fs::path root = fs::temp_directory_path() / ("velk-recorder-" + std::to_string(getpid()));
    fs::create_directories(root / "Shaders");
    std::ofstream(root / "Shaders" / "demo.hlsl", std::ios::binary) << kShader;
    std::ofstream(root / "Shaders" / "demo.hlsl.json", std::ios::binary) << "{}";
    Content::InitializeForTest(root.string(), EmbeddedStore());
    const std::string path = (root / "out.mp4").string();
    {
        ::testing::internal::CaptureStdout();
        Renderer renderer(0, 1, 1);
        ::testing::internal::GetCapturedStdout();
        Recorder recorder(renderer, nullptr, path, 64, 36, 10);
        for (int frame = 0; frame < 8; ++frame) {
            recorder.RecordFrame();
            // The preview draws in between, as the record loop does.
            if (frame % 3 == 0) renderer.Render(32, 18, recorder.Seconds());
        }
        recorder.Dispose();
        renderer.Dispose();
    }
    // The grey of the middle pixel of every frame, decoded.
    std::string grey = velk::test::CommandOutput("ffmpeg -v error -i '" + path +
                           "' -vf \"scale=in_color_matrix=bt709:in_range=tv:out_range=pc,format=gray,crop=1:1:32:18\""
                           " -f rawvideo -");
    ASSERT_EQ(grey.size(), 8u);
    for (int frame = 0; frame < 8; ++frame)
        EXPECT_NEAR(static_cast<unsigned char>(grey[frame]), 30 * frame, 4) << "frame " << frame;
    Content::InitializeForTest(std::nullopt, EmbeddedStore());
    fs::remove_all(root);
}

// Forwards every call to the writer the recorder made, noting the samples and the
// stream ticks it is given.
class NotingWriter final : public video::SinkWriter {
public:
    struct Call {
        uint32_t Stream;
        bool Tick;
        int64_t Time;  // a tick's time (samples keep theirs to themselves)
    };
    explicit NotingWriter(std::shared_ptr<video::SinkWriter> inner) : inner_(std::move(inner)) {}
    uint32_t AddStream(const video::MediaType& t) override { return inner_->AddStream(t); }
    void SetInputMediaType(uint32_t s, const video::MediaType& t) override { inner_->SetInputMediaType(s, t); }
    void BeginWriting() override { inner_->BeginWriting(); }
    void WriteSample(uint32_t s, video::Sample& sample) override {
        Calls.push_back({s, false, 0});
        inner_->WriteSample(s, sample);
    }
    void SendStreamTick(uint32_t s, int64_t time) override {
        Calls.push_back({s, true, time});
        inner_->SendStreamTick(s, time);
    }
    void Finalize() override { inner_->Finalize(); }
    std::vector<Call> Calls;

private:
    std::shared_ptr<video::SinkWriter> inner_;
};

}  // namespace

// A recording longer than its soundtrack: once the sound has run out, each frame
// marks the gap with a stream tick on the audio stream at the time its sound would
// have had, after its picture, and the file holds every frame.
TEST(Recorder, SoundThatRunsOutIsTickedFrameByFrame) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    velk::testing::UseNullAudioDeviceByDefault();
    velk::testing::TempDir dir("recorder-ticks");
    fs::create_directories(dir.Root / "Shaders");
    std::ofstream(dir.Root / "Shaders" / "demo.hlsl", std::ios::binary) << kShader;
    std::ofstream(dir.Root / "Shaders" / "demo.hlsl.json", std::ios::binary) << "{}";
    velk::testing::MakeMp3(dir.Root / "Artifacts/Audio/short.mp3", 44100, 1, 11025);  // 0.25 s
    Content::InitializeForTest(dir.Root.string() + "/", EmbeddedStore());
    const std::string path = (dir.Root / "out.mp4").string();
    std::vector<NotingWriter::Call> calls;
    int32_t video = -1, audio = -1;
    {
        ::testing::internal::CaptureStdout();
        Renderer renderer(0, 1, 1);
        Music music("Artifacts/Audio/short.mp3");
        ::testing::internal::GetCapturedStdout();
        Recorder recorder(renderer, &music, path, 64, 36, 10);
        auto noting = std::make_shared<NotingWriter>(recorder.Writer);
        recorder.Writer = noting;
        for (int frame = 0; frame < 10; ++frame) recorder.RecordFrame();
        recorder.Dispose();
        calls = noting->Calls;
        video = recorder.VideoStream;
        audio = recorder.AudioStream;
        music.Dispose();
        renderer.Dispose();
    }
    // Frames of 4410 sample frames: sound for frames 0 to 2 (the third one short),
    // then a tick for each of frames 3 to 9 at k x 0.1 s.
    std::vector<std::string> got, expected;
    for (const NotingWriter::Call& c : calls)
        got.push_back(c.Stream == uint32_t(video)   ? "picture"
                      : c.Stream != uint32_t(audio) ? "stream " + std::to_string(c.Stream)
                      : c.Tick                      ? "tick " + std::to_string(c.Time)
                                                    : "sound");
    for (int k = 0; k < 10; ++k) {
        expected.push_back("picture");
        expected.push_back(k < 3 ? "sound" : "tick " + std::to_string(int64_t(k) * 1000000));
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(velk::test::CommandOutput("ffprobe -v error -count_frames -select_streams v -show_entries "
                                        "stream=nb_read_frames -of csv=p=0 '" + path + "'"),
              "10\n");
    Content::InitializeForTest(std::nullopt, EmbeddedStore());
}
