// The recorder against the real GPU and video writer (X display): each frame of
// the file is the picture of its own time, in order, the last one included,
// although each frame is written while the next one is drawn.
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
#include "media/recorder.h"
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

}  // namespace
