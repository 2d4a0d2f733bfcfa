#include "render/renderer.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "host/clock.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/files.h"
#include "render/shader_settings.h"

namespace velk {

namespace {

constexpr const char* kShaderAsset = "Shaders/demo.hlsl";
constexpr const char* kSettingsAsset = "Shaders/demo.hlsl.json";

void WriteLine(std::FILE* stream, const std::string& line) {
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string Decimal(int64_t value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    return std::string(buffer, end);
}

// "HH:mm:ss" of the local wall-clock time.
std::string LocalTimeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace

const char* const Renderer::ScaleShaderSource =
    "Texture2D Frame : register(t0);\n"
    "SamplerState Smooth : register(s0);\n"
    "struct V { float4 pos : SV_Position; float2 uv : TEXCOORD0; };\n"
    "V VS(uint id : SV_VertexID)\n"
    "{\n"
    "    V v;\n"
    "    v.uv = float2((id << 1) & 2, id & 2);\n"
    "    v.pos = float4(v.uv * float2(2, -2) + float2(-1, 1), 0, 1);\n"
    "    return v;\n"
    "}\n"
    "float4 PS(V v) : SV_Target { return Frame.Sample(Smooth, v.uv); }\n";

int64_t WriteSettlingTicks(int64_t writeTime, int64_t now) {
    constexpr int64_t kSettle = 100 * 10000;     // 100 ms in 100 ns units
    constexpr int64_t kAhead = 1000 * 10000;     // 1 s
    const int64_t age = now - writeTime;
    return age >= kSettle || age < -kAhead ? 0 : kSettle - age;
}

LetterboxViewport ComputeLetterbox(int32_t windowWidth, int32_t windowHeight, int32_t fixedWidth,
                                   int32_t fixedHeight) {
    float fw = static_cast<float>(fixedWidth), fh = static_cast<float>(fixedHeight);
    float s = std::min(static_cast<float>(windowWidth) / fw, static_cast<float>(windowHeight) / fh);
    float sw = fw * s, sh = fh * s;
    return {(static_cast<float>(windowWidth) - sw) * 0.5f, (static_cast<float>(windowHeight) - sh) * 0.5f, sw, sh};
}

Renderer::Renderer(gpu::NativeWindow window, int32_t width, int32_t height) {
    // 1-2. No textures yet; the device and its immediate context.
    TextureViews.clear();
    Device = gpu::CreateDevice();
    Context = Device->ImmediateContext();
    // 3-5. The swap chain on the window (Alt+Enter stays unassociated).
    if (window != 0)
        SwapChain = gpu::CreateSwapChainForWindow(*Device, window, static_cast<uint32_t>(width),
                                                  static_cast<uint32_t>(height));
    // 6. The 16-byte constants.
    Constants = Device->CreateConstantBuffer(16);
    // 7. Samplers.
    gpu::SamplerDesc scene;
    scene.Filter = gpu::FilterMode::Anisotropic;
    scene.MaxAnisotropy = 16;
    SceneSampler = Device->CreateSamplerState(scene);
    gpu::SamplerDesc scale;
    scale.Filter = gpu::FilterMode::MinMagMipLinear;
    scale.MaxAnisotropy = 1;
    ScaleSampler = Device->CreateSamplerState(scale);
    // 8. The scale shaders.
    auto scaleVs = Compile(ScaleShaderSource, "VS", "vs_5_0", std::string("scale"));
    auto scalePs = Compile(ScaleShaderSource, "PS", "ps_5_0", std::string("scale"));
    if (!scaleVs || !scalePs) throw InvalidOperationException("Could not compile the scale shader");
    ScaleVertexShader = Device->CreateVertexShader(*scaleVs);
    ScalePixelShader = Device->CreatePixelShader(*scalePs);
    // 9. The back buffer.
    Width = width;
    Height = height;
    CreateBackBufferView();
    // 10-11. The first load of the demo shader.
    ReloadShaders();
    if (!PixelShader) throw InvalidOperationException("Could not compile Shaders/demo.hlsl");
}

void Renderer::Render(int32_t width, int32_t height, float time) {
    if (width != Width || height != Height) Resize(width, height);
    ReloadShaders();
    if (FixedSize && (FixedSize->first != Width || FixedSize->second != Height)) {
        EnsureOffscreen(FixedSize->first, FixedSize->second);
        DrawScene(PixelShader.get(), OffscreenTargetView.get(), FixedSize->first, FixedSize->second, time);
        DrawScaled(FixedSize->first, FixedSize->second);
    } else {
        DrawScene(PixelShader.get(), BackBufferView.get(), Width, Height, time);
    }
    if (!SwapChain) return;
    int32_t result = SwapChain->Present(1);
    if (result < 0 && !PresentFailedReported) {
        PresentFailedReported = true;
        WriteLine(stderr, "Present failed: " + Decimal(result));
    }
}

void Renderer::WriteConstants(float width, float height, float time) {
    gpu::MappedSubresource mapped = Context->Map(*Constants, gpu::MapType::WriteDiscard);
    const float values[4] = {width, height, time, 0.0f};
    std::memcpy(mapped.Data, values, sizeof values);
    Context->Unmap(*Constants);
}

void Renderer::DrawScene(gpu::PixelShader* pixelShader, gpu::RenderTargetView* targetView, int32_t width,
                         int32_t height, float time) {
    WriteConstants(static_cast<float>(width), static_cast<float>(height), time);
    Context->OMSetRenderTargets(targetView);
    Context->RSSetViewport(0, 0, static_cast<float>(width), static_cast<float>(height), 0, 1);
    Context->IASetPrimitiveTopologyTriangleList();
    Context->VSSetShader(VertexShader.get());
    Context->PSSetShader(pixelShader);
    Context->PSSetConstantBuffer(0, Constants.get());
    if (!TextureViews.empty()) {
        ShaderResourceViews_.clear();
        for (const auto& view : TextureViews) ShaderResourceViews_.push_back(view.get());
        Context->PSSetShaderResources(0, ShaderResourceViews_);
    }
    Context->PSSetSampler(0, SceneSampler.get());
    Context->Draw(3, 0);
}

void Renderer::DrawScaled(int32_t fixedWidth, int32_t fixedHeight) {
    LetterboxViewport v = ComputeLetterbox(Width, Height, fixedWidth, fixedHeight);
    Context->OMSetRenderTargets(BackBufferView.get());
    const float black[4] = {0, 0, 0, 1};
    Context->ClearRenderTargetView(*BackBufferView, black);
    Context->RSSetViewport(v.X, v.Y, v.Width, v.Height, 0, 1);
    Context->VSSetShader(ScaleVertexShader.get());
    Context->PSSetShader(ScalePixelShader.get());
    gpu::ShaderResourceView* frame[1] = {OffscreenResourceView.get()};
    Context->PSSetShaderResources(0, frame);
    Context->PSSetSampler(0, ScaleSampler.get());
    Context->Draw(3, 0);
    gpu::ShaderResourceView* none[1] = {nullptr};
    Context->PSSetShaderResources(0, none);
}

void Renderer::EnsureOffscreen(int32_t width, int32_t height) {
    if (OffscreenTexture) {
        gpu::Texture2DDesc desc = OffscreenTexture->GetDesc();
        if (desc.Width == static_cast<uint32_t>(width) && desc.Height == static_cast<uint32_t>(height)) return;
    }
    ReleaseOffscreen();
    gpu::Texture2DDesc desc;
    desc.Width = static_cast<uint32_t>(width);
    desc.Height = static_cast<uint32_t>(height);
    desc.MipLevels = 1;
    desc.Format = gpu::PixelFormat::B8G8R8A8_UNORM;
    desc.Usage = gpu::ResourceUsage::Default;
    desc.BindFlags = gpu::BindRenderTarget | gpu::BindShaderResource;
    OffscreenTexture = Device->CreateTexture2D(desc);
    OffscreenTargetView = Device->CreateRenderTargetView(OffscreenTexture);
    OffscreenResourceView = Device->CreateShaderResourceView(OffscreenTexture);
}

void Renderer::ReleaseOffscreen() {
    OffscreenResourceView.reset();
    OffscreenTargetView.reset();
    OffscreenTexture.reset();
}

float Renderer::DemoEnd() {
    if (!EndTimes) EndTimes = MeasureEndTimes();
    return EndTimes->first;
}

float Renderer::FinalFadeStart() {
    if (!EndTimes) EndTimes = MeasureEndTimes();
    return EndTimes->second;
}

std::pair<float, float> Renderer::MeasureEndTimes() {
    constexpr float inf = std::numeric_limits<float>::infinity();
    if (!EndTimeShader) return {inf, inf};
    gpu::Texture2DDesc desc;
    desc.Width = 1;
    desc.Height = 1;
    desc.MipLevels = 1;
    desc.Format = gpu::PixelFormat::R32G32_FLOAT;
    desc.Usage = gpu::ResourceUsage::Default;
    desc.BindFlags = gpu::BindRenderTarget;
    auto target = Device->CreateTexture2D(desc);
    auto view = Device->CreateRenderTargetView(target);
    gpu::Texture2DDesc stagingDesc = desc;
    stagingDesc.Usage = gpu::ResourceUsage::Staging;
    stagingDesc.BindFlags = gpu::BindNone;
    stagingDesc.CpuAccessFlags = gpu::CpuAccessRead;
    auto staging = Device->CreateTexture2D(stagingDesc);

    DrawScene(EndTimeShader.get(), view.get(), 1, 1, 0.0f);
    Context->CopyResource(*staging, *target);
    gpu::MappedSubresource mapped = Context->Map(*staging, 0, gpu::MapType::Read);
    float values[2];
    std::memcpy(values, mapped.Data, sizeof values);
    Context->Unmap(*staging, 0);

    staging.reset();
    view.reset();
    target.reset();
    return {values[0], values[1]};
}

void Renderer::Resize(int32_t width, int32_t height) {
    Width = width;
    Height = height;
    Context->OMSetRenderTargets(nullptr);
    BackBufferView.reset();
    if (SwapChain)
        SwapChain->ResizeBuffers(2, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                 gpu::PixelFormat::B8G8R8A8_UNORM);
    CreateBackBufferView();
}

void Renderer::CreateBackBufferView() {
    std::shared_ptr<gpu::Texture2D> buffer;
    if (SwapChain) {
        buffer = SwapChain->GetBuffer(0);
    } else {
        gpu::Texture2DDesc desc;
        desc.Width = static_cast<uint32_t>(Width);
        desc.Height = static_cast<uint32_t>(Height);
        desc.BindFlags = gpu::BindRenderTarget | gpu::BindShaderResource;
        WindowlessBackBuffer.reset();
        WindowlessBackBuffer = Device->CreateTexture2D(desc);
        buffer = WindowlessBackBuffer;
    }
    BackBufferView = Device->CreateRenderTargetView(buffer);
}

void Renderer::Dispose() {
    if (Context) Context->ClearState();
    VertexShader.reset();
    PixelShader.reset();
    EndTimeShader.reset();
    ScaleVertexShader.reset();
    ScalePixelShader.reset();
    ReleaseOffscreen();
    BackBufferView.reset();
    WindowlessBackBuffer.reset();
    SceneSampler.reset();
    ScaleSampler.reset();
    Constants.reset();
    SwapChain.reset();
    Context.reset();
    Device.reset();
}

void Renderer::ReloadShaders() {
    // 1. The stamp: the later write time of the two files in the source tree.
    auto shaderPath = Content::SourcePath(kShaderAsset);
    auto settingsPath = Content::SourcePath(kSettingsAsset);
    const bool inTree = shaderPath && settingsPath;
    auto currentStamp = [&]() -> int64_t {
        return inTree ? std::max(files::LastWriteTimeUtc(*shaderPath), files::LastWriteTimeUtc(*settingsPath)) : 0;
    };
    std::string source;
    for (;;) {
        const int64_t stamp = currentStamp();
        // 2. Unchanged since the last attempt.
        if (LoadedStamp && *LoadedStamp == stamp) return;
        // A file written moments ago may still be being written (an editor that
        // truncates it and writes it in pieces): like a file held by its writer, it
        // is tried again on a later frame. The first load, which must yield a
        // shader, waits for it instead.
        if (const int64_t left = inTree ? WriteSettlingTicks(stamp, files::CurrentTimeUtc()) : 0) {
            if (LoadedStamp) return;
            platform::Sleep(static_cast<uint32_t>((left + 9999) / 10000));
            continue;
        }

        // 3. Guarded reading.
        std::optional<std::string> settingsError;
        try {
            std::string shaderText = Content::ReadText(kShaderAsset);
            std::string settingsText = Content::ReadText(kSettingsAsset);
            source = ShaderSettings::Apply(shaderText, settingsText);
        } catch (const FileNotFoundException& e) {
            settingsError = e.what();
        } catch (const IOException&) {
            return;  // still being written, or the folder is missing: try again next frame
        } catch (const JsonException& e) {
            settingsError = e.what();
        } catch (const InvalidDataException& e) {
            settingsError = e.what();
        }
        // A file written while it was read: the text may be torn, so it counts as
        // one still being written.
        if (currentStamp() != stamp) {
            if (LoadedStamp) return;
            continue;
        }
        // 4. A source that does not compile waits for the next change.
        LoadedStamp = stamp;
        if (settingsError) {
            WriteLine(stderr, "demo.hlsl.json: " + *settingsError);
            return;
        }
        break;
    }
    // 5-6. Both entry points, always.
    auto vertexCode = Compile(source, "VSMain", "vs_5_0", std::nullopt);
    auto pixelCode = Compile(source, "PSMain", "ps_5_0", std::nullopt);
    if (!vertexCode || !pixelCode) return;
    // 7. The optional end-time entry point.
    auto endTimeCode = Compile(source, "EndTime", "ps_5_0", std::nullopt);
    // 8. Make the new shaders, then swap. Making one can fail too (on GL it links
    //    the program): the failure is reported like a compile error and the
    //    previous shaders stay in use.
    std::shared_ptr<gpu::VertexShader> vertexShader;
    std::shared_ptr<gpu::PixelShader> pixelShader, endTimeShader;
    try {
        vertexShader = Device->CreateVertexShader(*vertexCode);
        pixelShader = Device->CreatePixelShader(*pixelCode);
        if (endTimeCode) endTimeShader = Device->CreatePixelShader(*endTimeCode);
    } catch (const ComException& e) {
        std::string message = e.what();
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        WriteLine(stderr, message);
        return;
    }
    VertexShader = std::move(vertexShader);
    PixelShader = std::move(pixelShader);
    EndTimeShader = std::move(endTimeShader);
    // 9-10. Measure the end times again on their next use; report the load.
    EndTimes.reset();
    std::string asset = kShaderAsset;
    WriteLine(stdout, "[" + LocalTimeOfDay() + "] Loaded " + asset.substr(asset.rfind('/') + 1));
}

std::optional<std::vector<uint8_t>> Renderer::Compile(const std::string& source, const std::string& entryPoint,
                                                      const std::string& profile,
                                                      const std::optional<std::string>& sourceName) {
    std::string name;
    if (sourceName) {
        name = *sourceName;
    } else {
        auto path = Content::SourcePath(kShaderAsset);
        name = path ? *path : std::string(kShaderAsset);
    }
    gpu::CompileResult result = gpu::Compile(source, name, entryPoint, profile);
    if (result.Result >= 0 && !result.Code.empty()) return std::move(result.Code);
    if (result.Errors && !result.Errors->empty())
        WriteLine(stderr, *result.Errors);
    else
        WriteLine(stderr, entryPoint + ": compile failed (" + Decimal(result.Result) + ")");
    return std::nullopt;
}

}  // namespace velk
