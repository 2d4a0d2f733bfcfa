// Textures read back from the GPU with every mip level, and kept in files, so that
// the textures one platform's layers made can be compared with, or drawn by,
// another platform's.
//
// A texture file holds a B8G8R8A8 texture with its whole mip chain: the four bytes
// "VTEX", then width, height and the number of levels as 32-bit little-endian
// numbers, then each level from 0 down, max(width >> level, 1) x
// max(height >> level, 1) pixels of premultiplied B, G, R, A bytes, rows top first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/errors.h"
#include "render/gpu.h"

namespace velk::test {

struct TextureLevels {
    uint32_t Width = 0, Height = 0;
    std::vector<std::vector<uint8_t>> Levels;  // B, G, R, A bytes, rows top first

    uint32_t LevelWidth(size_t level) const { return std::max(Width >> level, 1u); }
    uint32_t LevelHeight(size_t level) const { return std::max(Height >> level, 1u); }
};

// Mip level `level` of a texture: premultiplied B, G, R, A bytes, rows top first.
inline std::vector<uint8_t> ReadLevel(gpu::Device& device, gpu::DeviceContext& context, gpu::Texture2D& texture,
                                      uint32_t level, uint32_t& w, uint32_t& h) {
    gpu::Texture2DDesc d = texture.GetDesc();
    w = std::max(d.Width >> level, 1u);
    h = std::max(d.Height >> level, 1u);
    gpu::Texture2DDesc sd;
    sd.Width = w;
    sd.Height = h;
    sd.MipLevels = 1;
    sd.Usage = gpu::ResourceUsage::Staging;
    sd.CpuAccessFlags = gpu::CpuAccessRead;
    auto staging = device.CreateTexture2D(sd);
    context.CopySubresourceRegion(*staging, 0, 0, 0, texture, level);
    gpu::MappedSubresource m = context.Map(*staging, 0, gpu::MapType::Read);
    std::vector<uint8_t> pixels(size_t(w) * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(pixels.data() + size_t(y) * w * 4, static_cast<uint8_t*>(m.Data) + size_t(y) * m.RowPitch,
                    size_t(w) * 4);
    context.Unmap(*staging, 0);
    return pixels;
}

// Every mip level of the view's texture.
inline TextureLevels ReadLevels(gpu::Device& device, gpu::DeviceContext& context,
                                const gpu::ShaderResourceView& view) {
    std::shared_ptr<gpu::Texture2D> texture = view.Resource();
    gpu::Texture2DDesc d = texture->GetDesc();
    TextureLevels t{d.Width, d.Height, {}};
    for (uint32_t level = 0; level < d.MipLevels; ++level) {
        uint32_t w, h;
        t.Levels.push_back(ReadLevel(device, context, *texture, level, w, h));
    }
    return t;
}

// A shader-resource texture holding the levels, uploaded level by level.
inline std::shared_ptr<gpu::ShaderResourceView> Upload(gpu::Device& device, gpu::DeviceContext& context,
                                                       const TextureLevels& t) {
    gpu::Texture2DDesc desc;
    desc.Width = t.Width;
    desc.Height = t.Height;
    desc.MipLevels = static_cast<uint32_t>(t.Levels.size());
    desc.BindFlags = gpu::BindShaderResource;
    std::shared_ptr<gpu::Texture2D> texture = device.CreateTexture2D(desc);
    for (uint32_t level = 0; level < desc.MipLevels; ++level)
        context.UpdateSubresource(*texture, level, t.Levels[level].data(), t.LevelWidth(level) * 4);
    return device.CreateShaderResourceView(texture);
}

inline void WriteTextureFile(const std::string& path, const TextureLevels& t) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw IOException("cannot write " + path);
    std::vector<uint8_t> header = {'V', 'T', 'E', 'X'};
    for (uint32_t v : {t.Width, t.Height, static_cast<uint32_t>(t.Levels.size())})
        for (int s = 0; s < 32; s += 8) header.push_back(uint8_t(v >> s));
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    for (const auto& level : t.Levels) ok = ok && std::fwrite(level.data(), 1, level.size(), f) == level.size();
    if (std::fclose(f) != 0 || !ok) throw IOException("cannot write " + path);
}

// Raises IOException for a missing or short file, InvalidDataException for one
// that is no texture file.
inline TextureLevels ReadTextureFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw IOException("cannot read " + path);
    auto read = [&](void* data, size_t n) {
        if (std::fread(data, 1, n, f) != n) {
            std::fclose(f);
            throw IOException("cannot read " + path + ": the file is too short");
        }
    };
    uint8_t header[16];
    read(header, sizeof header);
    auto at = [&](int i) {
        return uint32_t(header[i]) | uint32_t(header[i + 1]) << 8 | uint32_t(header[i + 2]) << 16 |
               uint32_t(header[i + 3]) << 24;
    };
    TextureLevels t{at(4), at(8), {}};
    const uint32_t levels = at(12);
    if (std::memcmp(header, "VTEX", 4) != 0 || t.Width == 0 || t.Height == 0 || t.Width > 16384 ||
        t.Height > 16384 || levels == 0 || levels > 15) {
        std::fclose(f);
        throw InvalidDataException(path + " is no texture file");
    }
    for (uint32_t level = 0; level < levels; ++level) {
        t.Levels.emplace_back(size_t(t.LevelWidth(level)) * t.LevelHeight(level) * 4);
        read(t.Levels.back().data(), t.Levels.back().size());
    }
    std::fclose(f);
    return t;
}

}  // namespace velk::test
