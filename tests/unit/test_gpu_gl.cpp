// The GPU layer and its HLSL compiler against the real OpenGL device (needs an X
// display; ctest runs under Xvfb): the shared cases of gpu_layer_contract.h.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#define VELK_GPU_SUITE GpuGl
#define VELK_GPU_REQUIRE_DEVICE() \
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display"
#define VELK_GPU_SKIP_WHERE_LIMITED(reason) (void)(reason)
// glslang's messages, as the layer turns them: "<name>(<line>): error: <text>".
#define VELK_GPU_EXPECT_MESSAGE_AT(errors, name, line)                                                  \
    EXPECT_EQ((errors).rfind(std::string(name) + "(" + std::to_string(line) + "): error: ", 0), 0u) << (errors)

#include "gpu_layer_contract.h"

// A copy into a staging texture holds the source as it was at the copy, whatever
// changes the source afterwards (a draw, a clear, an upload, its release), and
// copies are read in any order.
TEST(GpuGl, StagingCopiesKeepTheSourceAsItWasAtTheCopy) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    velk::gpu_contract::Gpu g;
    auto ps = gpu::Compile(std::string(velk::gpu_contract::kHeader) +
                               "float4 PSMain(float4 pos : SV_Position) : SV_Target { return float4(iTime / 8, 0, 0, 1); }\n",
                           "test.hlsl", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    auto pixel = g.Device->CreatePixelShader(ps.Code);
    const uint32_t w = 16, h = 8;
    auto draw = [&](gpu::RenderTargetView& view, float time) {
        auto mapped = g.Context->Map(*g.Constants, gpu::MapType::WriteDiscard);
        float constants[4] = {float(w), float(h), time, 0};
        std::memcpy(mapped.Data, constants, 16);
        g.Context->Unmap(*g.Constants);
        g.Context->OMSetRenderTargets(&view);
        g.Context->RSSetViewport(0, 0, float(w), float(h));
        g.Context->VSSetShader(g.Vertex.get());
        g.Context->PSSetShader(pixel.get());
        g.Context->PSSetConstantBuffer(0, g.Constants.get());
        g.Context->Draw(3, 0);
    };
    gpu::Texture2DDesc desc;
    desc.Width = w;
    desc.Height = h;
    desc.BindFlags = gpu::BindRenderTarget | gpu::BindShaderResource;
    gpu::Texture2DDesc stagingDesc = desc;
    stagingDesc.Usage = gpu::ResourceUsage::Staging;
    stagingDesc.BindFlags = gpu::BindNone;
    stagingDesc.CpuAccessFlags = gpu::CpuAccessRead;
    auto red = [&](gpu::Texture2D& staging) {  // red of the last pixel, as mapped
        auto mapped = g.Context->Map(staging, 0, gpu::MapType::Read);
        int value = static_cast<uint8_t*>(mapped.Data)[(h - 1) * mapped.RowPitch + (w - 1) * 4 + 2];
        g.Context->Unmap(staging, 0);
        return value;
    };
    const std::vector<uint8_t> blue(size_t(w) * h * 4, 0x40);
    const float clear[4] = {1, 1, 1, 1};
    struct Case {
        const char* change;
        std::function<void(std::shared_ptr<gpu::Texture2D>&, std::shared_ptr<gpu::RenderTargetView>&)> apply;
        int after;  // red of the source after the change, or -1 when it is gone
    } cases[] = {
        {"draw", [&](auto&, auto& view) { draw(*view, 6.0f); }, 191},
        {"clear", [&](auto&, auto& view) { g.Context->ClearRenderTargetView(*view, clear); }, 255},
        {"upload", [&](auto& texture, auto&) { g.Context->UpdateSubresource(*texture, 0, blue.data(), w * 4); }, 0x40},
        {"release", [&](auto& texture, auto& view) { view.reset(), texture.reset(); }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        auto texture = g.Device->CreateTexture2D(desc);
        auto view = g.Device->CreateRenderTargetView(texture);
        auto before = g.Device->CreateTexture2D(stagingDesc), after = g.Device->CreateTexture2D(stagingDesc);
        draw(*view, 2.0f);
        g.Context->CopyResource(*before, *texture);
        c.apply(texture, view);
        if (texture) g.Context->CopyResource(*after, *texture);
        if (c.after >= 0) EXPECT_EQ(red(*after), c.after);
        EXPECT_EQ(red(*before), 64);
    }
}
