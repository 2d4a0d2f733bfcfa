// What every GPU layer must do the way Direct3D 11 does it, shared by the layers'
// test files: each case draws a small shader whose output encodes what it received
// into a target and reads it back through a staging texture.
//
// The including file defines, before including this file:
// - VELK_GPU_SUITE: the test suite's name;
// - VELK_GPU_REQUIRE_DEVICE(): skips the test when the layer cannot make a device here;
// - VELK_GPU_SKIP_WHERE_LIMITED(reason): skips the rest of a test where the platform
//   at hand lacks what it needs (no texture size limit), printing why;
// - VELK_GPU_EXPECT_MESSAGE_AT(errors, name, line): the compiler's messages start
//   with the source's name and the line, in that compiler's own form.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gpu_test_rig.h"
#include "host/errors.h"
#include "render/gpu.h"

namespace velk::gpu_contract {

// Twenty textures X0 .. X19 in slots t0 .. t19, slot i an (i + 1) x 1 texture of red
// 10 i, and a pixel shader's body: `first`, then line(name, i) for each.
struct TwentyTextures {
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> Views;
    std::string Declarations, Body;

    template <class Line>
    TwentyTextures(Gpu& g, std::string first, Line line) : Body(std::move(first)) {
        for (uint32_t i = 0; i < 20; ++i) {
            Views.push_back(g.Device->CreateShaderResourceView(
                g.Texture(i + 1, 1, Solid(i + 1, 1, static_cast<uint8_t>(10 * i)), false)));
            std::string n = "X" + std::to_string(i);
            Declarations += "Texture2D " + n + " : register(t" + std::to_string(i) + ");\n";
            Body += line(n, i);
        }
    }
};

}  // namespace velk::gpu_contract

namespace gpu = velk::gpu;

TEST(VELK_GPU_SUITE, PixelPositionResolutionAndTime) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    // Pixel centres with y downwards: memory row 0 is the top row.
    auto pos = g.Draw("pos.xy", 4, 3);
    ASSERT_EQ(pos.size(), 24u);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 4; ++x) {
            EXPECT_EQ(pos[(y * 4 + x) * 2], x + 0.5f);
            EXPECT_EQ(pos[(y * 4 + x) * 2 + 1], y + 0.5f);
        }
    // Red where p.y < 0 (the upper half) lands in the top rows.
    auto upper = g.Draw("float2((pos.y - 0.5 * iResolution.y) / iResolution.y < 0, 0)", 2, 4);
    ASSERT_EQ(upper.size(), 16u);
    EXPECT_EQ(upper[0], 1.0f);
    EXPECT_EQ(upper[1 * 4], 1.0f);
    EXPECT_EQ(upper[2 * 4], 0.0f);
    EXPECT_EQ(upper[3 * 4], 0.0f);
    auto res = g.Draw("iResolution", 5, 2);
    ASSERT_EQ(res.size(), 20u);
    EXPECT_EQ(res[0], 5.0f);
    EXPECT_EQ(res[1], 2.0f);
    auto time = g.Draw("float2(iTime, _pad)", 1, 1);
    ASSERT_EQ(time.size(), 2u);
    EXPECT_EQ(time[0], 2.5f);
    EXPECT_EQ(time[1], 0.0f);
}

TEST(VELK_GPU_SUITE, DerivativesGrowRightAndDown) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    auto d = g.Draw("float2(ddx(pos.x * 3), ddy(pos.y * 2))", 2, 2);
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], 2.0f);
}

TEST(VELK_GPU_SUITE, TrianglesCounterClockwiseOnScreenAreCulled) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    auto pixel = g.Pixel(std::string(velk::gpu_contract::kHeader) +
                         "float4 PSMain() : SV_Target { return float4(1, 2, 0, 1); }\n");
    ASSERT_NE(pixel, nullptr);
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

TEST(VELK_GPU_SUITE, RemainderKeepsTheSignOfTheDividend) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    struct Case {
        const char* Expression;
        float X, Y;
    } cases[] = {
        {"float2(fmod(-5.5, 2.0), fmod(5.5, -2.0))", -1.5f, 1.5f},                  // folded constants
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

TEST(VELK_GPU_SUITE, ClearViewportAndBgraRowsTopFirst) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    // A 4 x 2 B8G8R8A8 target cleared to blue, then drawn only inside the viewport
    // (1, 0, 2, 2): red 10 x and green 20 y of the target's pixel, bytes in memory
    // blue, green, red, alpha.
    gpu::Texture2DDesc desc;
    desc.Width = 4;
    desc.Height = 2;
    desc.BindFlags = gpu::BindRenderTarget;
    auto target = g.Device->CreateTexture2D(desc);
    auto view = g.Device->CreateRenderTargetView(target);
    EXPECT_EQ(view->Resource(), target);
    const float blue[4] = {0, 0, 1, 1};
    g.Context->ClearRenderTargetView(*view, blue);
    auto pixel = g.Pixel(velk::gpu_contract::Gpu::Source(
        "return float4((pos.x - 0.5) * 10 / 255, (pos.y - 0.5) * 20 / 255, 0.2, 1);"));
    ASSERT_NE(pixel, nullptr);
    g.Context->OMSetRenderTargets(view.get());
    g.Context->RSSetViewport(1, 0, 2, 2);
    g.Context->IASetPrimitiveTopologyTriangleList();
    g.Context->VSSetShader(g.Vertex.get());
    g.Context->PSSetShader(pixel.get());
    g.Context->Draw(3, 0);
    auto staging = g.Staging(4, 2, gpu::PixelFormat::B8G8R8A8_UNORM);
    g.Context->CopyResource(*staging, *target);
    auto bytes = g.Read(*staging, 4);
    ASSERT_EQ(bytes.size(), 32u);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            const uint8_t* p = bytes.data() + (y * 4 + x) * 4;
            SCOPED_TRACE("pixel " + std::to_string(x) + "," + std::to_string(y));
            if (x == 0 || x == 3) {
                EXPECT_EQ(p[0], 255);
                EXPECT_EQ(p[1], 0);
                EXPECT_EQ(p[2], 0);
            } else {
                EXPECT_EQ(p[0], 51);
                EXPECT_EQ(p[1], 20 * y);
                EXPECT_EQ(p[2], 10 * x);
            }
            EXPECT_EQ(p[3], 255);
        }
}

TEST(VELK_GPU_SUITE, TexturesSampledInSlotOrder) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    using velk::gpu_contract::Solid;
    auto t0 = g.Texture(8, 2, Solid(8, 2, 51), false);
    auto t2 = g.Texture(2, 6, Solid(2, 6, 204), false);
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views = {g.Device->CreateShaderResourceView(t0), nullptr,
                                                                   g.Device->CreateShaderResourceView(t2)};
    EXPECT_EQ(views[0]->Resource(), t0);
    auto order = g.Draw("float2(T0.Sample(S, uv).r, T2.Sample(S, uv).r)", 1, 1, views);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_NEAR(order[0], 0.2f, 1e-6);
    EXPECT_NEAR(order[1], 0.8f, 1e-6);
    std::swap(views[0], views[2]);
    auto swapped = g.Draw("float2(T0.Sample(S, uv).r, T2.Sample(S, uv).r)", 1, 1, views);
    ASSERT_EQ(swapped.size(), 2u);
    EXPECT_NEAR(swapped[0], 0.8f, 1e-6);
    EXPECT_NEAR(swapped[1], 0.2f, 1e-6);
}

TEST(VELK_GPU_SUITE, GeneratedMipsFollowLevelZero) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    auto texture = g.Texture(4, 4, velk::gpu_contract::RedCorner(), true);
    EXPECT_EQ(texture->GetDesc().MipLevels, 3u);
    auto view = g.Device->CreateShaderResourceView(texture);
    g.Context->GenerateMips(*view);
    // Mip 1 whole into a 2 x 2 staging texture, then mip 2 over its bottom-right texel.
    auto staging = g.Staging(2, 2, gpu::PixelFormat::B8G8R8A8_UNORM);
    g.Context->CopySubresourceRegion(*staging, 0, 0, 0, *texture, 1);
    g.Context->CopySubresourceRegion(*staging, 0, 1, 1, *texture, 2);
    auto bytes = g.Read(*staging, 4);
    ASSERT_EQ(bytes.size(), 16u);
    EXPECT_EQ(bytes[0 * 4 + 2], 255);  // the red block
    EXPECT_EQ(bytes[1 * 4 + 2], 0);
    EXPECT_EQ(bytes[2 * 4 + 2], 0);
    EXPECT_NEAR(bytes[3 * 4 + 2], 64, 1);  // a quarter red at 1 x 1
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[i * 4 + 3], 255);
}

TEST(VELK_GPU_SUITE, TwentyTexturesSampledInSlotOrder) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    velk::gpu_contract::TwentyTextures t(g, "float matched = 0;\n", [](const std::string& n, uint32_t i) {
        return "matched += abs(" + n + ".Sample(S, uv).r * 255 - " + std::to_string(10 * i) + ") < 0.5;\n";
    });
    auto v = g.Draw(t.Body + "    return float4(matched, 0, 0, 1);", 1, 1, t.Views, t.Declarations);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 20.0f);
}

TEST(VELK_GPU_SUITE, TexturesAsParametersWithDimensionsLevelsAndGradients) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    using velk::gpu_contract::Solid;
    auto t0 = g.Texture(8, 2, Solid(8, 2, 51), false);
    auto t1 = g.Texture(4, 4, velk::gpu_contract::RedCorner(), true);
    auto t2 = g.Texture(2, 6, Solid(2, 6, 204), false);
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views = {g.Device->CreateShaderResourceView(t0),
                                                                    g.Device->CreateShaderResourceView(t1),
                                                                    g.Device->CreateShaderResourceView(t2)};
    g.Context->GenerateMips(*views[1]);
    const std::string red = "float red(Texture2D t, float2 uv) { return t.SampleLevel(S, uv, 0).r; }\n";

    auto passed = g.Draw("float2(red(T2, uv), red(T0, uv))", 1, 1, views, red);
    ASSERT_EQ(passed.size(), 2u);
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
    ASSERT_EQ(mip.size(), 2u);
    EXPECT_NEAR(mip[0], 1.0f, 1e-6);
    EXPECT_NEAR(mip[1], 0.0f, 1e-6);
    // Gradients of a whole texture per pixel select the 1 x 1 level: a quarter red.
    auto grad = g.Draw("float2(T1.SampleGrad(S, float2(0.5, 0.5), float2(1, 0), float2(0, 1)).r,"
                       " T1.SampleGrad(S, float2(0.25, 0.25), float2(0.01, 0), float2(0, 0.01)).r)",
                       1, 1, views);
    ASSERT_EQ(grad.size(), 2u);
    EXPECT_NEAR(grad[0], 0.25f, 1.0f / 255);
    EXPECT_NEAR(grad[1], 1.0f, 1e-6);
}

TEST(VELK_GPU_SUITE, TwentyTexturesBothSampledAndMeasured) {
    // Each texture read both through the sampler and by GetDimensions, as the demo
    // shader reads its twenty: one texture unit each, all within the driver's limit.
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    std::string declarations, body = "float red = 0; float widths = 0; uint w, h;";
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> views;
    float expectedRed = 0, expectedWidths = 0;
    for (uint32_t i = 0; i < 20; ++i) {
        std::string name = "U" + std::to_string(i);
        declarations += "Texture2D " + name + " : register(t" + std::to_string(i) + ");\n";
        body += " red += " + name + ".Sample(S, uv).r; " + name + ".GetDimensions(w, h); widths += w;";
        views.push_back(g.Device->CreateShaderResourceView(
            g.Texture(i + 1, 1, velk::gpu_contract::Solid(i + 1, 1, static_cast<uint8_t>(i)), false)));
        expectedRed += i / 255.0f;
        expectedWidths += float(i + 1);
    }
    // The header's T0..T2 share registers t0..t2 with U0..U2.
    auto v = g.Draw(body + " return float4(red, widths, 0, 1);", 1, 1, views, declarations);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0], expectedRed, 1e-4);
    EXPECT_EQ(v[1], expectedWidths);
}

TEST(VELK_GPU_SUITE, TwentyTexturesSampledAndMeasuredInSlotOrder) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    // Each texture is both sampled and measured, as the demo shader does with its
    // twenty textures.
    velk::gpu_contract::TwentyTextures t(
        g, "float matched = 0, sized = 0; uint w, h;\n", [](const std::string& n, uint32_t i) {
            return "matched += abs(" + n + ".SampleLevel(S, uv, 0).r * 255 - " + std::to_string(10 * i) +
                   ") < 0.5 ? 1 : 0; " + n + ".GetDimensions(w, h); sized += (w == " + std::to_string(i + 1) +
                   " && h == 1) ? 1 : 0;\n";
        });
    auto v = g.Draw(t.Body + "    return float4(matched, sized, 0, 1);", 1, 1, t.Views, t.Declarations);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 20.0f);
    EXPECT_EQ(v[1], 20.0f);
}

TEST(VELK_GPU_SUITE, CompilerMessagesNameTheSourceAndLine) {
    VELK_GPU_REQUIRE_DEVICE();
    using velk::gpu_contract::kHeader;
    std::string source = std::string(kHeader) + "\nfloat4 PSMain() : SV_Target { return undefinedThing; }\n";
    // The line number is the one after the source name, also when the name holds
    // colons and digits of its own.
    for (const char* name : {"/tmp/tree/Shaders/demo.hlsl", "/tmp/odd:12: dir/Shaders/demo.hlsl", "C:7:x.hlsl"}) {
        auto r = gpu::Compile(source, name, "PSMain", "ps_5_0");
        EXPECT_LT(r.Result, 0);
        EXPECT_TRUE(r.Code.empty());
        ASSERT_TRUE(r.Errors.has_value());
        VELK_GPU_EXPECT_MESSAGE_AT(*r.Errors, name, 12);
        EXPECT_NE(r.Errors->find("undefinedThing"), std::string::npos) << *r.Errors;
    }

    auto missing = gpu::Compile(kHeader, "demo.hlsl", "EndTime", "ps_5_0");
    EXPECT_LT(missing.Result, 0);
    EXPECT_TRUE(missing.Code.empty());
    ASSERT_TRUE(missing.Errors.has_value());
    EXPECT_NE(missing.Errors->find("EndTime"), std::string::npos) << *missing.Errors;
}

namespace velk::gpu_contract {

// The code of the ComException that `call` raises (0 when it raises none); its
// message starts with "<what> failed: 0x" and ends with `reason` when one is given.
template <class Call>
int32_t RaisedCode(const char* what, Call&& call, const std::string& reason = {}) {
    try {
        call();
    } catch (const velk::ComException& e) {
        std::string message = e.what();
        EXPECT_EQ(message.rfind(std::string(what) + " failed: 0x", 0), 0u) << message;
        if (!reason.empty())
            EXPECT_TRUE(message.size() >= reason.size() &&
                        message.compare(message.size() - reason.size(), reason.size(), reason) == 0)
                << message;
        return e.Code();
    }
    return 0;
}

// A refused texture's message names the size asked for.
inline int32_t TextureRefused(gpu::Device& device, uint32_t width) {
    gpu::Texture2DDesc desc;
    desc.Width = width;
    desc.Height = 4;
    desc.BindFlags = gpu::BindRenderTarget;
    return RaisedCode("CreateTexture2D", [&] { device.CreateTexture2D(desc); },
                      ": size " + std::to_string(width) + "x4");
}

}  // namespace velk::gpu_contract

TEST(VELK_GPU_SUITE, FailingCallsRaiseTheirResultCode) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    using velk::gpu_contract::RaisedCode;
    const std::vector<uint8_t> garbage(64, 0x5A);
    EXPECT_EQ(RaisedCode("CreatePixelShader", [&] { g.Device->CreatePixelShader(garbage); }), velk::hr::E_INVALIDARG_);
    EXPECT_EQ(RaisedCode("CreateVertexShader", [&] { g.Device->CreateVertexShader(garbage); }),
              velk::hr::E_INVALIDARG_);
    // Only a staging texture maps for reading.
    auto texture = g.Texture(2, 2, velk::gpu_contract::Solid(2, 2, 0), false);
    EXPECT_EQ(RaisedCode("Map", [&] { g.Context->Map(*texture, 0, gpu::MapType::Read); }), velk::hr::E_INVALIDARG_);
    EXPECT_EQ(velk::gpu_contract::TextureRefused(*g.Device, 0), velk::hr::E_INVALIDARG_);
}

TEST(VELK_GPU_SUITE, TexturesBeyondTheLargestDimensionAreRefused) {
    VELK_GPU_REQUIRE_DEVICE();
    velk::gpu_contract::Gpu g;
    EXPECT_EQ(g.Device->MaxTextureDimension(), 16384u);
    VELK_GPU_SKIP_WHERE_LIMITED("CreateTexture2D makes textures wider than 16384");
    EXPECT_EQ(velk::gpu_contract::TextureRefused(*g.Device, g.Device->MaxTextureDimension() + 1),
              velk::hr::E_INVALIDARG_);
}
