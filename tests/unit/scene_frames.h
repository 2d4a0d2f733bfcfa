// Frames of the renderer's scene read back, for the tests and tools that look at
// pixels: a target of one size and its staging copy, drawn with a pixel shader at a
// time, the frame returned as B, G, R, A bytes, top row first.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "render/renderer.h"

namespace velk::test {

class SceneFrames {
public:
    SceneFrames(Renderer& renderer, uint32_t width, uint32_t height)
        : renderer_(renderer), width_(width), height_(height) {
        gpu::Texture2DDesc desc;
        desc.Width = width;
        desc.Height = height;
        desc.BindFlags = gpu::BindRenderTarget;
        target_ = renderer.Device->CreateTexture2D(desc);
        view_ = renderer.Device->CreateRenderTargetView(target_);
        desc.Usage = gpu::ResourceUsage::Staging;
        desc.BindFlags = gpu::BindNone;
        desc.CpuAccessFlags = gpu::CpuAccessRead;
        staging_ = renderer.Device->CreateTexture2D(desc);
    }

    std::vector<uint8_t> Draw(gpu::PixelShader& shader, float time) {
        renderer_.DrawScene(&shader, view_.get(), int32_t(width_), int32_t(height_), time);
        renderer_.Context->CopyResource(*staging_, *target_);
        auto mapped = renderer_.Context->Map(*staging_, 0, gpu::MapType::Read);
        std::vector<uint8_t> bytes(size_t(width_) * height_ * 4);
        for (uint32_t row = 0; row < height_; ++row)
            std::memcpy(bytes.data() + size_t(row) * width_ * 4,
                        static_cast<uint8_t*>(mapped.Data) + size_t(row) * mapped.RowPitch, size_t(width_) * 4);
        renderer_.Context->Unmap(*staging_, 0);
        return bytes;
    }

private:
    Renderer& renderer_;
    uint32_t width_, height_;
    std::shared_ptr<gpu::Texture2D> target_, staging_;
    std::shared_ptr<gpu::RenderTargetView> view_;
};

}  // namespace velk::test
