// The renderer: owns the GPU device, its immediate context and the swap chain on
// the demo window, loads and hot-reloads the demo shader, and draws it every frame
// as one full-screen triangle, straight into the back buffer or, at a fixed render
// size that differs from the window, into an offscreen texture that a small scale
// shader letterboxes into the window. It also reads back, once per shader load,
// the end time and the start of the final fade that the shader's optional
// `EndTime` entry point computes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "render/gpu.h"

namespace velk {

// The letterbox viewport of a frame of fixed size inside a window, in 32-bit floats
// and unrounded: the frame scaled uniformly to fit, centred.
struct LetterboxViewport {
    float X, Y, Width, Height;
};
LetterboxViewport ComputeLetterbox(int32_t windowWidth, int32_t windowHeight, int32_t fixedWidth,
                                   int32_t fixedHeight);

// How long, in 100 ns units, a file last written at `writeTime` (both times in
// the units of files::LastWriteTimeUtc) may still be being written at `now`: the
// rest of 100 ms after its write time; 0 once that has passed, and for a write
// time more than a second ahead of the clock (a clock that differs, not a save).
int64_t WriteSettlingTicks(int64_t writeTime, int64_t now);

class Renderer {
public:
    // The scale pass: `Frame` (t0) sampled with `Smooth` (s0) over one
    // viewport-covering triangle.
    static const char* const ScaleShaderSource;

    // Builds the device, swap chain, buffers, samplers and scale shaders on the
    // window's client area and loads the demo shader; raises
    // InvalidOperationException "Could not compile Shaders/demo.hlsl" when the first
    // load leaves no pixel shader. A window of 0 gives a renderer without a swap
    // chain (tools and tests): its back buffer is a texture and nothing is presented.
    Renderer(gpu::NativeWindow window, int32_t width, int32_t height);
    virtual ~Renderer() = default;
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Draws and presents one frame at the window's client size (both at least 1).
    void Render(int32_t width, int32_t height, float time);
    // Draws the full-screen triangle with the demo's vertex shader and the given
    // pixel shader into the target at the given size and time.
    void DrawScene(gpu::PixelShader* pixelShader, gpu::RenderTargetView* targetView, int32_t width, int32_t height,
                   float time);
    // End of the show and start of its final fade, in seconds; +infinity when the
    // shader has no usable `EndTime`. Measured on first use after each load.
    float DemoEnd();
    float FinalFadeStart();
    // Releases everything, in order; called once at shutdown.
    virtual void Dispose();

    // Loads the demo shader when its files changed (always on the first call). A
    // file in the source tree is read once its write time is 100 ms old, so that a
    // save still being written is never taken for a broken one.
    void ReloadShaders();
    // HLSL to bytecode; the compiler's messages go to standard error and the
    // result is then none. Without a source name the demo shader's path is used.
    static std::optional<std::vector<uint8_t>> Compile(const std::string& source, const std::string& entryPoint,
                                                       const std::string& profile,
                                                       const std::optional<std::string>& sourceName);

    std::shared_ptr<gpu::Device> Device;
    std::shared_ptr<gpu::DeviceContext> Context;
    std::shared_ptr<gpu::SwapChain> SwapChain;
    std::shared_ptr<gpu::Buffer> Constants;
    std::shared_ptr<gpu::SamplerState> SceneSampler;
    std::shared_ptr<gpu::SamplerState> ScaleSampler;
    std::shared_ptr<gpu::VertexShader> ScaleVertexShader;
    std::shared_ptr<gpu::PixelShader> ScalePixelShader;
    std::shared_ptr<gpu::RenderTargetView> BackBufferView;
    std::shared_ptr<gpu::VertexShader> VertexShader;
    std::shared_ptr<gpu::PixelShader> PixelShader;
    std::shared_ptr<gpu::PixelShader> EndTimeShader;
    std::shared_ptr<gpu::Texture2D> OffscreenTexture;
    std::shared_ptr<gpu::RenderTargetView> OffscreenTargetView;
    std::shared_ptr<gpu::ShaderResourceView> OffscreenResourceView;
    // Bound from t0 upwards; owned by the host.
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> TextureViews;
    int32_t Width = 0;
    int32_t Height = 0;
    bool PresentFailedReported = false;
    // Later last-write time (100 ns units since 1601, UTC) of the shader files at
    // the last load attempt.
    std::optional<int64_t> LoadedStamp;
    std::optional<std::pair<float, float>> EndTimes;
    std::optional<std::pair<int32_t, int32_t>> FixedSize;

    // The back buffer itself when there is no swap chain (window 0).
    std::shared_ptr<gpu::Texture2D> WindowlessBackBuffer;

private:
    void DrawScaled(int32_t fixedWidth, int32_t fixedHeight);
    void EnsureOffscreen(int32_t width, int32_t height);
    void ReleaseOffscreen();
    std::pair<float, float> MeasureEndTimes();
    void Resize(int32_t width, int32_t height);
    void CreateBackBufferView();
    void WriteConstants(float width, float height, float time);

    std::vector<gpu::ShaderResourceView*> ShaderResourceViews_;  // TextureViews as bound
};

}  // namespace velk
