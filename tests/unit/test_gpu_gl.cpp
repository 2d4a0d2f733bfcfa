// The GPU layer and its HLSL compiler against the real OpenGL device (needs an X
// display; ctest runs under Xvfb). Each case draws a small shader whose output
// encodes what it received into a two-channel float target and reads it back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "render/gpu.h"

using namespace velk;

namespace {

const char* kHeader =
    "cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };\n"
    "Texture2D T0 : register(t0);\n"
    "Texture2D T1 : register(t1);\n"
    "Texture2D T2 : register(t2);\n"
    "SamplerState S : register(s0);\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float red(Texture2D t, float2 uv) { return t.SampleLevel(S, uv, 0).r; }\n";

struct Gpu {
    std::shared_ptr<gpu::Device> Device = gpu::CreateDevice();
    std::shared_ptr<gpu::DeviceContext> Context = Device->ImmediateContext();
    std::shared_ptr<gpu::Buffer> Constants = Device->CreateConstantBuffer(16);
    std::shared_ptr<gpu::SamplerState> Sampler;
    std::shared_ptr<gpu::VertexShader> Vertex;

    // The renderer's scene sampler.
    Gpu() {
        gpu::SamplerDesc desc;
        desc.Filter = gpu::FilterMode::Anisotropic;
        desc.MaxAnisotropy = 16;
        Sampler = Device->CreateSamplerState(desc);
        auto vs = gpu::Compile(kHeader, "test.hlsl", "VSMain", "vs_5_0");
        EXPECT_GE(vs.Result, 0) << vs.Errors.value_or("");
        Vertex = Device->CreateVertexShader(vs.Code);
    }

    std::shared_ptr<gpu::Texture2D> Texture(uint32_t w, uint32_t h, const std::vector<uint8_t>& bgra, bool mips) {
        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.MipLevels = mips ? 0 : 1;
        desc.BindFlags = gpu::BindShaderResource | (mips ? gpu::BindRenderTarget : 0);
        desc.MiscFlags = mips ? gpu::MiscGenerateMips : 0;
        auto t = Device->CreateTexture2D(desc);
        Context->UpdateSubresource(*t, 0, bgra.data(), w * 4);
        return t;
    }

    // Draws `expression` (a float2 of the pixel shader, or a body with its own
    // return) at w x h and time 2.5 into an R32G32_FLOAT target; returns the
    // (x, y) pairs, rows top first.
    std::vector<float> Draw(const std::string& expression, uint32_t w, uint32_t h,
                            const std::vector<std::shared_ptr<gpu::ShaderResourceView>>& views = {},
                            const std::string& declarations = "") {
        std::string source = std::string(kHeader) + declarations +
                             "float4 PSMain(float4 pos : SV_Position) : SV_Target\n{\n"
                             "    float2 uv = pos.xy / iResolution;\n" +
                             (expression.find("return") != std::string::npos
                                  ? expression
                                  : "    return float4(" + expression + ", 0, 1);") +
                             "\n}\n";
        auto ps = gpu::Compile(source, "test.hlsl", "PSMain", "ps_5_0");
        EXPECT_GE(ps.Result, 0) << ps.Errors.value_or("");
        if (ps.Result < 0) return {};
        return DrawWith(Device->CreatePixelShader(ps.Code), w, h, views);
    }

    std::vector<float> DrawWith(const std::shared_ptr<gpu::PixelShader>& pixel, uint32_t w, uint32_t h,
                                const std::vector<std::shared_ptr<gpu::ShaderResourceView>>& views,
                                const std::shared_ptr<gpu::VertexShader>& vertex = nullptr) {

        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.Format = gpu::PixelFormat::R32G32_FLOAT;
        desc.BindFlags = gpu::BindRenderTarget;
        auto target = Device->CreateTexture2D(desc);
        auto view = Device->CreateRenderTargetView(target);
        const float cleared[4] = {-1, -1, 0, 0};
        Context->ClearRenderTargetView(*view, cleared);
        desc.Usage = gpu::ResourceUsage::Staging;
        desc.BindFlags = gpu::BindNone;
        desc.CpuAccessFlags = gpu::CpuAccessRead;
        auto staging = Device->CreateTexture2D(desc);

        auto mapped = Context->Map(*Constants, gpu::MapType::WriteDiscard);
        float constants[4] = {float(w), float(h), 2.5f, 0};
        std::memcpy(mapped.Data, constants, 16);
        Context->Unmap(*Constants);
        Context->OMSetRenderTargets(view.get());
        Context->RSSetViewport(0, 0, float(w), float(h));
        Context->IASetPrimitiveTopologyTriangleList();
        Context->VSSetShader(vertex ? vertex.get() : Vertex.get());
        Context->PSSetShader(pixel.get());
        Context->PSSetConstantBuffer(0, Constants.get());
        std::vector<gpu::ShaderResourceView*> raw;
        for (auto& v : views) raw.push_back(v.get());
        Context->PSSetShaderResources(0, raw);
        Context->PSSetSampler(0, Sampler.get());
        Context->Draw(3, 0);
        Context->CopyResource(*staging, *target);
        auto read = Context->Map(*staging, 0, gpu::MapType::Read);
        std::vector<float> out(size_t(w) * h * 2);
        for (uint32_t row = 0; row < h; ++row)
            std::memcpy(out.data() + size_t(row) * w * 2, static_cast<uint8_t*>(read.Data) + row * read.RowPitch,
                        size_t(w) * 8);
        Context->Unmap(*staging, 0);
        return out;
    }
};

bool HaveDisplay() { return std::getenv("DISPLAY") != nullptr; }

}  // namespace

TEST(GpuGl, PixelPositionResolutionAndTime) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    // Pixel centres with y downwards: memory row 0 is the top row.
    auto pos = g.Draw("pos.xy", 4, 3);
    ASSERT_EQ(pos.size(), 24u);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 4; ++x) {
            EXPECT_EQ(pos[(y * 4 + x) * 2], x + 0.5f);
            EXPECT_EQ(pos[(y * 4 + x) * 2 + 1], y + 0.5f);
        }
    // Red where p.y < 0 (the upper half) lands in the top rows.
    auto upper = g.Draw("float2((pos.y - 0.5 * iResolution.y) / iResolution.y < 0 ? 1 : 0, 0)", 2, 4);
    EXPECT_EQ(upper[0], 1.0f);
    EXPECT_EQ(upper[1 * 4], 1.0f);
    EXPECT_EQ(upper[2 * 4], 0.0f);
    EXPECT_EQ(upper[3 * 4], 0.0f);
    auto res = g.Draw("iResolution", 5, 2);
    EXPECT_EQ(res[0], 5.0f);
    EXPECT_EQ(res[1], 2.0f);
    auto time = g.Draw("float2(iTime, _pad)", 1, 1);
    EXPECT_EQ(time[0], 2.5f);
    EXPECT_EQ(time[1], 0.0f);
    // Screen-space derivatives grow to the right and downwards, as on Direct3D.
    auto d = g.Draw("float2(ddx(pos.x * 3), ddy(pos.y * 2))", 2, 2);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], 2.0f);
}

TEST(GpuGl, TrianglesCounterClockwiseOnScreenAreCulled) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    auto ps = gpu::Compile(std::string(kHeader) + "float4 PSMain() : SV_Target { return float4(1, 2, 0, 1); }\n",
                           "test.hlsl", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    auto pixel = g.Device->CreatePixelShader(ps.Code);
    // Both triangles cover the viewport; the second has its corners in the other
    // order (x and y of uv swapped), so it turns counter-clockwise on screen.
    struct Case {
        const char* Name;
        const char* Uv;
        bool Drawn;
    } cases[] = {
        {"clockwise", "float2((id << 1) & 2, id & 2)", true},
        {"counter-clockwise", "float2(id & 2, (id << 1) & 2)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        auto vs = gpu::Compile(std::string("float4 VSMain(uint id : SV_VertexID) : SV_Position\n{\n    float2 uv = ") +
                                   c.Uv + ";\n    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n}\n",
                               "test.hlsl", "VSMain", "vs_5_0");
        ASSERT_GE(vs.Result, 0) << vs.Errors.value_or("");
        auto out = g.DrawWith(pixel, 3, 2, {}, g.Device->CreateVertexShader(vs.Code));
        ASSERT_EQ(out.size(), 12u);
        for (size_t i = 0; i < out.size(); i += 2) {
            EXPECT_EQ(out[i], c.Drawn ? 1.0f : -1.0f) << "pixel " << i / 2;
            EXPECT_EQ(out[i + 1], c.Drawn ? 2.0f : -1.0f) << "pixel " << i / 2;
        }
    }
}

TEST(GpuGl, RemainderKeepsTheSignOfTheDividend) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    struct Case {
        const char* Expression;
        float X, Y;
    } cases[] = {
        {"float2(fmod(-5.5, 2.0), fmod(5.5, -2.0))", -1.5f, 1.5f},               // folded constants
        {"float2(fmod(-iTime * 2.2, 2.0), fmod(iTime * 2.2, -2.0))", -1.5f, 1.5f},  // at run time
        {"float2((-iTime * 2.2) % 2.0, (iTime * 2.2) % -2.0)", -1.5f, 1.5f},
        {"float2(int(-iTime * 2) % 3, int(iTime * 2) % -3)", -2.0f, 2.0f},
    };
    for (const Case& c : cases) {
        auto v = g.Draw(c.Expression, 1, 1);
        ASSERT_EQ(v.size(), 2u) << c.Expression;
        EXPECT_NEAR(v[0], c.X, 1e-5) << c.Expression;
        EXPECT_NEAR(v[1], c.Y, 1e-5) << c.Expression;
    }
}

TEST(GpuGl, TexturesInSlotOrderWithDimensionsMipsAndGradients) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    auto solid = [](uint32_t w, uint32_t h, uint8_t red) {
        std::vector<uint8_t> p(size_t(w) * h * 4);
        for (size_t i = 0; i < p.size(); i += 4) p[i + 2] = red, p[i + 3] = 255;
        return p;
    };
    // t1: 4 x 4 with its top-left 2 x 2 block red, which only the top-left texel of
    // mip 1 and a quarter of mip 2 show.
    std::vector<uint8_t> block = solid(4, 4, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) block[(y * 4 + x) * 4 + 2] = 255;
    auto t0 = g.Texture(8, 2, solid(8, 2, 51), false);
    auto t1 = g.Texture(4, 4, block, true);
    auto t2 = g.Texture(2, 6, solid(2, 6, 204), false);
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views = {g.Device->CreateShaderResourceView(t0),
                                                                    g.Device->CreateShaderResourceView(t1),
                                                                    g.Device->CreateShaderResourceView(t2)};
    g.Context->GenerateMips(*views[1]);

    auto order = g.Draw("float2(red(T0, uv), T2.Sample(S, uv).r)", 1, 1, views);  // a texture as a parameter
    EXPECT_NEAR(order[0], 0.2f, 1e-6);
    EXPECT_NEAR(order[1], 0.8f, 1e-6);
    auto passed = g.Draw("float2(red(T2, uv), red(T0, uv))", 1, 1, views);
    EXPECT_NEAR(passed[0], 0.8f, 1e-6);
    EXPECT_NEAR(passed[1], 0.2f, 1e-6);

    auto dims = g.Draw("uint w0, h0, w2, h2; T0.GetDimensions(w0, h0); T2.GetDimensions(w2, h2);"
                       " return float4(w0 * 100 + h0, w2 * 100 + h2, 0, 1);",
                       1, 1, views);
    ASSERT_EQ(dims.size(), 2u);
    EXPECT_EQ(dims[0], 802.0f);
    EXPECT_EQ(dims[1], 206.0f);
    // Mip 1 of the generated chain: the red block is its top-left texel.
    auto mip = g.Draw("float2(T1.SampleLevel(S, float2(0.25, 0.25), 1).r, T1.SampleLevel(S, float2(0.75, 0.75), 1).r)",
                      1, 1, views);
    EXPECT_NEAR(mip[0], 1.0f, 1e-6);
    EXPECT_NEAR(mip[1], 0.0f, 1e-6);
    // Gradients of a whole texture per pixel select the 1 x 1 level: a quarter red.
    auto grad = g.Draw("float2(T1.SampleGrad(S, float2(0.5, 0.5), float2(1, 0), float2(0, 1)).r,"
                       " T1.SampleGrad(S, float2(0.25, 0.25), float2(0.01, 0), float2(0, 0.01)).r)",
                       1, 1, views);
    EXPECT_NEAR(grad[0], 0.25f, 1.0f / 255);
    EXPECT_NEAR(grad[1], 1.0f, 1e-6);
}

TEST(GpuGl, TwentyTexturesBothSampledAndMeasured) {
    // Each texture read both through the sampler and by GetDimensions, as the demo
    // shader reads its twenty: one texture unit each, all within the driver's limit.
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    std::string declarations, body = "float red = 0; float widths = 0; uint w, h;";
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views;
    float expectedRed = 0, expectedWidths = 0;
    for (uint32_t i = 0; i < 20; ++i) {
        std::string name = "U" + std::to_string(i);
        declarations += "Texture2D " + name + " : register(t" + std::to_string(i) + ");\n";
        body += " red += " + name + ".Sample(S, uv).r; " + name + ".GetDimensions(w, h); widths += w;";
        std::vector<uint8_t> pixels(size_t(i + 1) * 4);
        for (size_t x = 0; x < pixels.size(); x += 4) pixels[x + 2] = uint8_t(i), pixels[x + 3] = 255;
        views.push_back(g.Device->CreateShaderResourceView(g.Texture(i + 1, 1, pixels, false)));
        expectedRed += i / 255.0f;
        expectedWidths += float(i + 1);
    }
    // The header's T0..T2 share registers t0..t2 with U0..U2.
    auto v = g.Draw(body + " return float4(red, widths, 0, 1);", 1, 1, views, declarations);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0], expectedRed, 1e-4);
    EXPECT_EQ(v[1], expectedWidths);
}

TEST(GpuGl, CompilerMessagesNameTheSourceAndLine) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    std::string source = std::string(kHeader) + "float4 PSMain() : SV_Target { return undefinedThing; }\n";
    // The line number is the one after the source name, also when the name holds
    // colons and digits of its own.
    for (const char* name : {"/tmp/tree/Shaders/demo.hlsl", "/tmp/odd:12: dir/Shaders/demo.hlsl", "C:7:x.hlsl"}) {
        auto r = gpu::Compile(source, name, "PSMain", "ps_5_0");
        EXPECT_LT(r.Result, 0);
        EXPECT_TRUE(r.Code.empty());
        ASSERT_TRUE(r.Errors.has_value());
        EXPECT_EQ(r.Errors->rfind(std::string(name) + "(12): error: ", 0), 0u) << *r.Errors;
        EXPECT_NE(r.Errors->find("undefinedThing"), std::string::npos) << *r.Errors;
    }

    auto missing = gpu::Compile(kHeader, "demo.hlsl", "EndTime", "ps_5_0");
    EXPECT_LT(missing.Result, 0);
    ASSERT_TRUE(missing.Errors.has_value());
    EXPECT_NE(missing.Errors->find("demo.hlsl"), std::string::npos);
    EXPECT_NE(missing.Errors->find("EndTime"), std::string::npos);
}

TEST(GpuGl, TwentyTexturesSampledAndMeasuredInSlotOrder) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    Gpu g;
    // Slot i holds an (i + 1) x 1 texture of red 10 i: each is both sampled and
    // measured, as the demo shader does with its twenty textures.
    std::vector<std::shared_ptr<gpu::Texture2D>> textures;
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views;
    std::string declarations, body = "float matched = 0, sized = 0; uint w, h;\n";
    for (uint32_t i = 0; i < 20; ++i) {
        std::vector<uint8_t> p((i + 1) * 4);
        for (uint32_t x = 0; x <= i; ++x) p[x * 4 + 2] = static_cast<uint8_t>(10 * i), p[x * 4 + 3] = 255;
        textures.push_back(g.Texture(i + 1, 1, p, false));
        views.push_back(g.Device->CreateShaderResourceView(textures.back()));
        std::string n = "X" + std::to_string(i);
        declarations += "Texture2D " + n + " : register(t" + std::to_string(i) + ");\n";
        body += "matched += abs(" + n + ".SampleLevel(S, uv, 0).r * 255 - " + std::to_string(10 * i) +
                ") < 0.5 ? 1 : 0; " + n + ".GetDimensions(w, h); sized += (w == " + std::to_string(i + 1) +
                " && h == 1) ? 1 : 0;\n";
    }
    std::string source = std::string(kHeader) + declarations +
                         "float4 PSMain(float4 pos : SV_Position) : SV_Target\n{\n"
                         "    float2 uv = pos.xy / iResolution;\n" + body +
                         "    return float4(matched, sized, 0, 1);\n}\n";
    auto ps = gpu::Compile(source, "twenty.hlsl", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    auto v = g.DrawWith(g.Device->CreatePixelShader(ps.Code), 1, 1, views);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 20.0f);
    EXPECT_EQ(v[1], 20.0f);
}
