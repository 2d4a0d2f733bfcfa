// A small GPU rig for the GPU layers' tests: a device, the renderer's scene sampler,
// a full-screen vertex shader and a constant buffer; draws a pixel shader into an
// R32G32_FLOAT target and reads it back through a staging texture.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "render/gpu.h"

namespace velk::gpu_contract {

inline const char* kHeader =
    "cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };\n"
    "Texture2D T0 : register(t0);\n"
    "Texture2D T1 : register(t1);\n"
    "Texture2D T2 : register(t2);\n"
    "SamplerState S : register(s0);\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n";

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
        desc.BindFlags = gpu::BindShaderResource | (mips ? uint32_t(gpu::BindRenderTarget) : 0u);
        desc.MiscFlags = mips ? uint32_t(gpu::MiscGenerateMips) : 0u;
        auto t = Device->CreateTexture2D(desc);
        Context->UpdateSubresource(*t, 0, bgra.data(), w * 4);
        return t;
    }

    std::shared_ptr<gpu::Texture2D> Staging(uint32_t w, uint32_t h, gpu::PixelFormat format) {
        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.Format = format;
        desc.Usage = gpu::ResourceUsage::Staging;
        desc.CpuAccessFlags = gpu::CpuAccessRead;
        return Device->CreateTexture2D(desc);
    }

    // Rows of a staging texture, packed, top first.
    std::vector<uint8_t> Read(gpu::Texture2D& staging, uint32_t bytesPerPixel) {
        gpu::Texture2DDesc desc = staging.GetDesc();
        auto mapped = Context->Map(staging, 0, gpu::MapType::Read);
        std::vector<uint8_t> out(size_t(desc.Width) * desc.Height * bytesPerPixel);
        for (uint32_t row = 0; row < desc.Height; ++row)
            std::memcpy(out.data() + size_t(row) * desc.Width * bytesPerPixel,
                        static_cast<uint8_t*>(mapped.Data) + size_t(row) * mapped.RowPitch,
                        size_t(desc.Width) * bytesPerPixel);
        Context->Unmap(staging, 0);
        return out;
    }

    std::shared_ptr<gpu::PixelShader> Pixel(const std::string& source) {
        auto ps = gpu::Compile(source, "test.hlsl", "PSMain", "ps_5_0");
        EXPECT_GE(ps.Result, 0) << ps.Errors.value_or("");
        if (ps.Result < 0) return nullptr;
        Made.push_back(Device->CreatePixelShader(ps.Code));
        return Made.back();
    }
    // Every pixel shader made here lives as long as the rig: under Wine 10's Vulkan
    // renderer, a draw with a new shader bound in place of one that is released
    // then runs the released shader's code.
    std::vector<std::shared_ptr<gpu::PixelShader>> Made;

    // A pixel shader returning `expression` (a float2, or a body with its own
    // return), with uv = pos.xy / iResolution.
    static std::string Source(const std::string& expression, const std::string& declarations = "") {
        return std::string(kHeader) + declarations +
               "float4 PSMain(float4 pos : SV_Position) : SV_Target\n{\n"
               "    float2 uv = pos.xy / iResolution;\n" +
               (expression.find("return") != std::string::npos ? expression
                                                                 : "    return float4(" + expression + ", 0, 1);") +
               "\n}\n";
    }

    // Draws `expression` at w x h and time 2.5 into an R32G32_FLOAT target (the
    // end-time target's format); returns the (x, y) pairs, rows top first.
    std::vector<float> Draw(const std::string& expression, uint32_t w, uint32_t h,
                            const std::vector<std::shared_ptr<gpu::ShaderResourceView>>& views = {},
                            const std::string& declarations = "") {
        auto pixel = Pixel(Source(expression, declarations));
        if (!pixel) return {};
        return DrawWith(pixel, w, h, views);
    }

    // Draws into a target cleared to (-1, -1), with the given vertex shader or the
    // header's, and the given 16 bytes of constants or the header's (the size, the
    // time 2.5).
    std::vector<float> DrawWith(const std::shared_ptr<gpu::PixelShader>& pixel, uint32_t w, uint32_t h,
                                const std::vector<std::shared_ptr<gpu::ShaderResourceView>>& views,
                                const std::shared_ptr<gpu::VertexShader>& vertex = nullptr,
                                std::optional<std::array<uint32_t, 4>> constants = std::nullopt) {
        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.Format = gpu::PixelFormat::R32G32_FLOAT;
        desc.BindFlags = gpu::BindRenderTarget;
        auto target = Device->CreateTexture2D(desc);
        auto view = Device->CreateRenderTargetView(target);
        const float cleared[4] = {-1, -1, 0, 0};
        Context->ClearRenderTargetView(*view, cleared);
        auto staging = Staging(w, h, gpu::PixelFormat::R32G32_FLOAT);

        if (!constants) {
            const float header[4] = {float(w), float(h), 2.5f, 0};
            constants.emplace();
            std::memcpy(constants->data(), header, 16);
        }
        auto mapped = Context->Map(*Constants, gpu::MapType::WriteDiscard);
        std::memcpy(mapped.Data, constants->data(), 16);
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
        std::vector<uint8_t> bytes = Read(*staging, 8);
        std::vector<float> out(bytes.size() / 4);
        std::memcpy(out.data(), bytes.data(), bytes.size());
        return out;
    }
};

inline std::vector<uint8_t> Solid(uint32_t w, uint32_t h, uint8_t red) {
    std::vector<uint8_t> p(size_t(w) * h * 4);
    for (size_t i = 0; i < p.size(); i += 4) p[i + 2] = red, p[i + 3] = 255;
    return p;
}

// 4 x 4, opaque, with its top-left 2 x 2 block red: the top-left texel of mip 1
// and a quarter of mip 2.
inline std::vector<uint8_t> RedCorner() {
    std::vector<uint8_t> block = Solid(4, 4, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) block[(y * 4 + x) * 4 + 2] = 255;
    return block;
}

}  // namespace velk::gpu_contract
