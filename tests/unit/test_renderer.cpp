// The renderer: the letterbox computation, and against the real GPU device (on
// Linux it needs an X display) the end-time read-back, the letterboxed frame and
// the hot reload of a shader in a temporary source tree.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "host/content.h"
#include "host/errors.h"
#include "render/renderer.h"
#include "captured_output.h"
#include "compiler_messages.h"
#ifdef _WIN32
#include <windows.h>

#include "windows/wine.h"
#else
#define VELK_SKIP_UNDER_WINE(reason) ((void)0)
#endif

using namespace velk;
namespace fs = std::filesystem;

TEST(Letterbox, FitsTheFixedSizeUnrounded) {
    struct Case {
        int32_t W, H, Fw, Fh;
        float X, Y, Sw, Sh;
    } cases[] = {
        {1920, 1200, 1920, 1080, 0, 60, 1920, 1080},
        {2560, 1440, 1280, 1024, 380, 0, 1800, 1440},
        {1366, 768, 1920, 1080, (1366 - 1920 * (768.0f / 1080)) * 0.5f, 0, 1920 * (768.0f / 1080), 768},
        {800, 600, 800, 600, 0, 0, 800, 600},
        {1000, 1000, 1600, 900, 0, (1000 - 562.5f) * 0.5f, 1000, 562.5f},
    };
    for (const Case& c : cases) {
        LetterboxViewport v = ComputeLetterbox(c.W, c.H, c.Fw, c.Fh);
        SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " <- " + std::to_string(c.Fw) + "x" +
                     std::to_string(c.Fh));
        EXPECT_FLOAT_EQ(v.X, c.X);
        EXPECT_FLOAT_EQ(v.Y, c.Y);
        EXPECT_FLOAT_EQ(v.Width, c.Sw);
        EXPECT_FLOAT_EQ(v.Height, c.Sh);
    }
    // Nothing is rounded: 1366 x 768 keeps its fraction.
    LetterboxViewport v = ComputeLetterbox(1366, 768, 1920, 1080);
    EXPECT_NEAR(v.Width, 1365.3334f, 1e-3);
    EXPECT_NEAR(v.X, 0.333313f, 1e-3);
    EXPECT_NE(v.X, std::floor(v.X));
}

namespace {

bool NoDevice() {
#ifdef _WIN32
    return false;
#else
    return !std::getenv("DISPLAY");
#endif
}

const char* kShader =
    "cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };\n"
    "Texture2D T0 : register(t0);\n"
    "SamplerState S : register(s0);\n"
    "//@settings\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float4 PSMain(float4 pos : SV_Position) : SV_Target { return float4(RED, 0.5, 0.25, 1); }\n";

const char* kEndTime =
    "float4 EndTime() : SV_Target { return float4(END + iTime + iResolution.x - 1, FADE + iResolution.y - 1, 0, 1); }\n";

const char* kSettings = "{ \"Timing\": { \"END\": 61.25, \"FADE\": \"END - 3.1\" }, \"RED\": 1, }\n";

class RendererTree : public ::testing::Test {
protected:
    fs::path Root;

    void SetUp() override {
        if (NoDevice()) GTEST_SKIP() << "no display";
        Root = fs::temp_directory_path() /
               ("velk-renderer-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root / "Shaders");
        Content::InitializeForTest(Root.string(), EmbeddedStore());
    }
    void TearDown() override {
        Content::InitializeForTest(std::nullopt, EmbeddedStore());
        if (!Root.empty()) fs::remove_all(Root);
    }

    fs::path Shader() const { return Root / "Shaders" / "demo.hlsl"; }
    fs::path Settings() const { return Root / "Shaders" / "demo.hlsl.json"; }
    // The shader's path as the compiler's messages name it.
    static std::string ShaderName() { return Content::SourcePath("Shaders/demo.hlsl").value_or(""); }

    // Writes a file and gives it a write time `age` seconds before a fixed base, so
    // that successive edits have distinct, ordered stamps.
    void Write(const fs::path& path, const std::string& text, int seconds) {
        std::ofstream(path, std::ios::binary) << text;
        SetTime(path, seconds);
    }
    void SetTime(const fs::path& path, int seconds) {
        fs::last_write_time(path, Base + std::chrono::seconds(seconds));
    }
    fs::file_time_type Base = fs::file_time_type::clock::now() - std::chrono::hours(1);
};

// Captures both streams around a call.
struct Captured {
    std::string Out, Err;
};
template <class F>
Captured Capture(F&& f) {
    velk::test::CapturedOutput capture(velk::test::CapturedOutput::StdoutAndStderr);
    f();
    Captured c;
    c.Out = capture.TakeOut();
    c.Err = capture.TakeErr();
    return c;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<uint8_t> ReadBack(Renderer& r, gpu::Texture2D& texture) {
    gpu::Texture2DDesc desc = texture.GetDesc();
    desc.Usage = gpu::ResourceUsage::Staging;
    desc.BindFlags = gpu::BindNone;
    desc.CpuAccessFlags = gpu::CpuAccessRead;
    auto staging = r.Device->CreateTexture2D(desc);
    r.Context->CopyResource(*staging, texture);
    auto mapped = r.Context->Map(*staging, 0, gpu::MapType::Read);
    std::vector<uint8_t> bytes(size_t(desc.Width) * desc.Height * 4);
    for (uint32_t row = 0; row < desc.Height; ++row)
        std::memcpy(bytes.data() + size_t(row) * desc.Width * 4,
                    static_cast<uint8_t*>(mapped.Data) + size_t(row) * mapped.RowPitch, desc.Width * 4);
    r.Context->Unmap(*staging, 0);
    return bytes;
}

}  // namespace

TEST_F(RendererTree, EndTimesAreReadBackExactlyOncePerLoad) {
    Write(Shader(), std::string(kShader) + kEndTime, 0);
    Write(Settings(), kSettings, 1);
    auto c = Capture([&] {
        Renderer r(0, 8, 8);
        EXPECT_FALSE(r.EndTimes.has_value());
        // Drawn at 1 x 1 and time 0: the settings come back as exact floats.
        EXPECT_EQ(r.DemoEnd(), 61.25f);
        EXPECT_EQ(r.FinalFadeStart(), 61.25f - 3.1f);
        ASSERT_TRUE(r.EndTimes.has_value());
        r.Render(8, 8, 5.0f);
        EXPECT_EQ(r.DemoEnd(), 61.25f);

        // A new load clears the cache; the next read measures the new shader.
        Write(Settings(), "{ \"END\": 7.5, \"FADE\": 2, \"RED\": 1 }", 2);
        r.Render(8, 8, 5.0f);
        EXPECT_FALSE(r.EndTimes.has_value());
        EXPECT_EQ(r.DemoEnd(), 7.5f);
        EXPECT_EQ(r.FinalFadeStart(), 2.0f);
        r.Dispose();
    });
    EXPECT_EQ(Count(c.Out, "] Loaded demo.hlsl\n"), 2u) << c.Out;
    EXPECT_EQ(c.Out.front(), '[');
    EXPECT_EQ(c.Out[3], ':');
    EXPECT_EQ(c.Out[6], ':');
    EXPECT_EQ(c.Err, "");
}

TEST_F(RendererTree, WithoutEndTimeTheShowNeverEnds) {
    Write(Shader(), kShader, 0);
    Write(Settings(), kSettings, 1);
    auto c = Capture([&] {
        Renderer r(0, 4, 4);
        EXPECT_EQ(r.DemoEnd(), std::numeric_limits<float>::infinity());
        EXPECT_EQ(r.FinalFadeStart(), std::numeric_limits<float>::infinity());
        EXPECT_EQ(r.EndTimeShader, nullptr);
        r.Dispose();
    });
    // The missing entry point is reported on each load, then the load succeeds.
    EXPECT_NE(c.Err.find(ShaderName()), std::string::npos) << c.Err;
    EXPECT_NE(c.Err.find("EndTime"), std::string::npos) << c.Err;
    EXPECT_EQ(Count(c.Out, "] Loaded demo.hlsl"), 1u);
}

TEST_F(RendererTree, HotReloadKeepsTheShaderThroughErrors) {
    Write(Shader(), std::string(kShader) + kEndTime, 0);
    Write(Settings(), kSettings, 1);
    std::unique_ptr<Renderer> r;
    auto first = Capture([&] { r = std::make_unique<Renderer>(0, 4, 4); });
    EXPECT_EQ(Count(first.Out, "] Loaded demo.hlsl\n"), 1u);
    std::weak_ptr<gpu::PixelShader> shader = r->PixelShader;

    // Nothing changed: no file is read, nothing is written.
    auto idle = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(idle.Out + idle.Err, "");

    // A syntax error in the settings: one line, the shader stays.
    Write(Settings(), "{ \"END\": 61.25, \"RED\": }", 2);
    auto broken = Capture([&] {
        r->Render(4, 4, 0);
        r->Render(4, 4, 0);
    });
    EXPECT_EQ(broken.Out, "");
    EXPECT_EQ(Count(broken.Err, "\n"), 1u) << broken.Err;
    EXPECT_EQ(broken.Err.rfind("demo.hlsl.json: ", 0), 0u) << broken.Err;
    EXPECT_EQ(r->PixelShader, shader.lock());

    // Fixed: one "Loaded" line.
    Write(Settings(), kSettings, 3);
    auto fixed = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(Count(fixed.Out, "] Loaded demo.hlsl\n"), 1u);
    EXPECT_EQ(fixed.Err, "");
    EXPECT_TRUE(shader.expired());  // replaced
    shader = r->PixelShader;

    // An error in code both entry points share: reported for each, no "Loaded".
    std::string shared = std::string(kShader).replace(std::string(kShader).find("//@settings\n") + 12, 0,
                                                      "static const float BROKEN = missingName;\n");
    Write(Shader(), shared + kEndTime, 4);
    auto failed = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(failed.Out, "");
    EXPECT_EQ(velk::testing::FaultsAt(failed.Err, ShaderName(), 5, "missingName"), 2u) << failed.Err;
    EXPECT_EQ(Count(failed.Err, "missingName"), 2u) << failed.Err;
    EXPECT_EQ(r->PixelShader, shader.lock());
    EXPECT_EQ(r->DemoEnd(), 61.25f);

    // Touching the older file to a time still before the newer one: no reload.
    SetTime(Settings(), 2);
    auto older = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(older.Out + older.Err, "");

    // The settings file that was the newer one deleted: one missing-file line, then waiting.
    Write(Settings(), kSettings, 5);
    Write(Shader(), std::string(kShader) + kEndTime, 4);
    (void)Capture([&] { r->Render(4, 4, 0); });
    fs::remove(Settings());
    auto missing = Capture([&] {
        r->Render(4, 4, 0);
        r->Render(4, 4, 0);
    });
    EXPECT_EQ(missing.Out, "");
    EXPECT_EQ(Count(missing.Err, "\n"), 1u) << missing.Err;
    EXPECT_EQ(missing.Err.rfind("demo.hlsl.json: ", 0), 0u) << missing.Err;
    r->Dispose();
}

// An editor that truncates a file and writes it in pieces leaves a torn file for a
// moment: the renderer, polled every few milliseconds meanwhile, neither reads it
// nor reports it, and loads the whole save once its write time has settled. The
// files are written just before the renderer starts too: its first load waits.
TEST_F(RendererTree, ASaveWrittenInPiecesIsReadOnlyWhole) {
    using std::chrono::steady_clock;
    const std::string shader = std::string(kShader) + kEndTime;
    std::ofstream(Shader(), std::ios::binary) << shader;
    std::ofstream(Settings(), std::ios::binary) << kSettings;
    std::unique_ptr<Renderer> r;
    auto first = Capture([&] { r = std::make_unique<Renderer>(0, 4, 4); });
    EXPECT_EQ(Count(first.Out, "] Loaded demo.hlsl\n"), 1u);
    EXPECT_EQ(first.Err, "");
    EXPECT_EQ(r->DemoEnd(), 61.25f);

    const std::string settings = "{ \"END\": 7.5, \"FADE\": 2, \"RED\": 1 }\n";
    struct Case {
        const char* What;
        fs::path File;
        std::string Text;
        size_t Split;  // bytes in the first piece
        float End;     // the demo end once loaded
    } cases[] = {
        {"shader emptied, then written", Shader(), shader, 0, 61.25f},
        {"shader in two halves", Shader(), shader, shader.size() / 2, 61.25f},
        {"settings in two halves", Settings(), settings, settings.size() / 2, 7.5f},
    };
    std::vector<std::pair<float, float>> ends;  // the end time read and the one expected
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        auto saved = Capture([&] {
            std::ofstream file(c.File, std::ios::binary | std::ios::trunc);
            file << c.Text.substr(0, c.Split) << std::flush;
            // Polled as frames would, while the writer pauses (and only while the
            // pause is surely shorter than the settling time).
            const auto written = steady_clock::now();
            while (steady_clock::now() - written < std::chrono::milliseconds(60)) {
                r->Render(4, 4, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            file << c.Text.substr(c.Split);
            file.close();
            const auto end = steady_clock::now() + std::chrono::seconds(5);
            for (std::optional<int64_t> before = r->LoadedStamp;
                 r->LoadedStamp == before && steady_clock::now() < end;) {
                r->Render(4, 4, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        EXPECT_EQ(saved.Err, "");
        EXPECT_EQ(Count(saved.Out, "] Loaded demo.hlsl\n"), 1u) << saved.Out;
        ends.push_back({r->DemoEnd(), c.End});
    }

    // A write time far ahead of the clock is no save in progress: loaded at once.
    Write(Settings(), kSettings, 2 * 3600);
    auto ahead = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(Count(ahead.Out, "] Loaded demo.hlsl\n"), 1u);
    ends.push_back({r->DemoEnd(), 61.25f});
    r->Dispose();

    // Each load's end time is what its files give.
    VELK_SKIP_UNDER_WINE("Wine's Vulkan renderer may draw a just-released pixel shader's code for the new end-time "
                         "shader, so a reloaded end time can be the previous one");
    for (size_t i = 0; i < ends.size(); ++i) EXPECT_EQ(ends[i].first, ends[i].second) << "load " << i + 1;
}

// A new shader that compiles but cannot be made into a shader object (on GL the
// program does not link: a texture register beyond the driver's units) is
// reported, and the previous shaders and end times stay in use.
TEST_F(RendererTree, HotReloadKeepsTheShaderWhenTheNewOneCannotBeMade) {
#ifdef _WIN32
    GTEST_SKIP() << "Direct3D makes every shader that its compiler compiles; Wine makes this one too";
#endif
    Write(Shader(), std::string(kShader) + kEndTime, 0);
    Write(Settings(), kSettings, 1);
    std::unique_ptr<Renderer> r;
    (void)Capture([&] { r = std::make_unique<Renderer>(0, 4, 4); });
    std::shared_ptr<gpu::VertexShader> vertex = r->VertexShader;
    std::shared_ptr<gpu::PixelShader> pixel = r->PixelShader, endTime = r->EndTimeShader;
    ASSERT_TRUE(vertex && pixel && endTime);
    EXPECT_EQ(r->DemoEnd(), 61.25f);

    std::string unusable = std::string(kShader).replace(
        std::string(kShader).find("return float4(RED"),
        std::string("return float4(RED").size(), "return Far.Sample(S, pos.xy) + float4(RED");
    unusable.replace(unusable.find("//@settings"), 0, "Texture2D Far : register(t200);\n");
    Write(Shader(), unusable + kEndTime, 2);
    auto failed = Capture([&] { r->Render(4, 4, 0); });
    EXPECT_EQ(failed.Out, "");
    EXPECT_EQ(failed.Err.rfind("CreatePixelShader failed: ", 0), 0u) << failed.Err;
    EXPECT_EQ(Count(failed.Err, "\n"), 1u) << failed.Err;
    EXPECT_EQ(r->VertexShader, vertex);
    EXPECT_EQ(r->PixelShader, pixel);
    EXPECT_EQ(r->EndTimeShader, endTime);
    EXPECT_EQ(r->DemoEnd(), 61.25f);
    EXPECT_EQ(ReadBack(*r, *r->WindowlessBackBuffer)[2], 255);  // still drawn in the old red
    r->Dispose();
}

TEST_F(RendererTree, MissingShadersFolderFailsTheFirstLoad) {
    fs::remove_all(Root / "Shaders");
    std::string message;
    auto c = Capture([&] {
        try {
            Renderer r(0, 4, 4);
        } catch (const InvalidOperationException& e) {
            message = e.what();
        }
    });
    EXPECT_EQ(message, "Could not compile Shaders/demo.hlsl");
    EXPECT_EQ(c.Out + c.Err, "");
}

TEST_F(RendererTree, FixedSizeIsLetterboxedIntoTheWindow) {
    Write(Shader(), kShader, 0);
    Write(Settings(), kSettings, 1);
    auto c = Capture([&] {
        Renderer r(0, 40, 30);
        r.FixedSize = std::make_pair(40, 30);
        r.Render(40, 30, 0);
        EXPECT_EQ(r.OffscreenTexture, nullptr);  // same size: straight into the back buffer

        r.FixedSize = std::make_pair(20, 10);  // scaled by 2 into (0, 5, 40, 20)
        r.Render(40, 30, 0);
        ASSERT_NE(r.OffscreenTexture, nullptr);
        auto pixels = ReadBack(r, *r.WindowlessBackBuffer);
        auto at = [&](int x, int y) { return pixels.data() + (size_t(y) * 40 + x) * 4; };
        for (int y : {0, 4, 25, 29}) EXPECT_EQ(at(20, y)[2], 0) << "bar row " << y;
        for (int y : {5, 15, 24}) {
            EXPECT_EQ(at(0, y)[2], 255) << "frame row " << y;
            EXPECT_EQ(at(39, y)[0], 64) << "frame row " << y;  // blue 0.25
        }
        // The window grows: the offscreen texture keeps the fixed size.
        auto* offscreen = r.OffscreenTexture.get();
        r.Render(60, 30, 0);
        EXPECT_EQ(r.OffscreenTexture.get(), offscreen);
        EXPECT_EQ(r.Width, 60);
        r.Dispose();
    });
    EXPECT_EQ(Count(c.Out, "Loaded"), 1u);
}

namespace {

// A swap chain whose presents return the codes given, in turn.
class ScriptedSwapChain : public gpu::SwapChain {
public:
    explicit ScriptedSwapChain(std::vector<int32_t> codes) : codes_(std::move(codes)) {}
    std::shared_ptr<gpu::Texture2D> GetBuffer(uint32_t) override { return nullptr; }
    void ResizeBuffers(uint32_t, uint32_t, uint32_t, gpu::PixelFormat) override {}
    int32_t Present(uint32_t syncInterval) override {
        EXPECT_EQ(syncInterval, 1u);
        return codes_.at(next_++);
    }

private:
    std::vector<int32_t> codes_;
    size_t next_ = 0;
};

}  // namespace

TEST_F(RendererTree, OnlyTheFirstFailedPresentIsReported) {
    Write(Shader(), std::string(kShader) + kEndTime, 0);
    Write(Settings(), kSettings, 1);
    auto c = Capture([&] {
        Renderer r(0, 4, 4);
        const int32_t removed = static_cast<int32_t>(0x887A0005u);
        // Occluded (a positive status) is no failure; two failures with a success between.
        r.SwapChain = std::make_shared<ScriptedSwapChain>(std::vector<int32_t>{0x087A0001, removed, 0, removed});
        for (int i = 0; i < 4; ++i) r.Render(4, 4, 0);
        EXPECT_TRUE(r.PresentFailedReported);
        r.Dispose();
    });
    EXPECT_EQ(c.Err, "Present failed: -2005270523\n");
}

#ifdef _WIN32
TEST_F(RendererTree, PresentsIntoItsWindowAndFollowsItsSize) {
    Write(Shader(), std::string(kShader) + kEndTime, 0);
    Write(Settings(), kSettings, 1);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"velk-renderer-test";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"renderer test", WS_POPUP | WS_VISIBLE, 0, 0, 64,
                                  48, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    auto c = Capture([&] {
        Renderer r(reinterpret_cast<gpu::NativeWindow>(window), 64, 48);
        ASSERT_NE(r.SwapChain, nullptr);
        r.Render(64, 48, 0);
        EXPECT_EQ(r.DemoEnd(), 61.25f);
        // The window shrinks: the buffers follow, letterboxing a fixed size into them.
        SetWindowPos(window, nullptr, 0, 0, 32, 16, SWP_NOMOVE | SWP_NOZORDER);
        r.FixedSize = std::make_pair(64, 48);
        r.Render(32, 16, 0);
        gpu::Texture2DDesc desc = r.BackBufferView->Resource()->GetDesc();
        EXPECT_EQ(desc.Width, 32u);
        EXPECT_EQ(desc.Height, 16u);
        ASSERT_NE(r.OffscreenTexture, nullptr);
        EXPECT_EQ(r.OffscreenTexture->GetDesc().Width, 64u);
        EXPECT_FALSE(r.PresentFailedReported);
        r.Dispose();
    });
    DestroyWindow(window);
    EXPECT_EQ(c.Err, "");
    EXPECT_EQ(Count(c.Out, "] Loaded demo.hlsl\n"), 1u);
}
#endif
