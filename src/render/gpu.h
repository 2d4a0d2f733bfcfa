// GPU layer: the Direct3D 11-shaped device, context, resources, swap chain and
// shader compiler that the renderer, the texture maker and the recorder use.
//
// The interface follows the calls the program makes of Direct3D 11, DXGI and the
// HLSL compiler, reduced to what the callers rely on, so that the Windows layer is
// a direct transcription and other layers reproduce the same observable behaviour:
// - texture rows are top first (row 0 of memory is the top of the picture), and a
//   pixel shader's SV_Position has y growing downwards, as on Direct3D;
// - a view made on a texture covers the whole resource in its format;
// - bound state stays until changed; a draw without input layout runs the vertex
//   stage on vertex ids alone;
// - Map of a staging texture for reading waits for every earlier draw and copy.
// Objects are shared handles: dropping the last reference releases the object, and
// a view keeps its texture alive. Failing calls raise ComException with a result
// code and a readable reason; Present returns its code instead.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velk::gpu {

// An opaque native window: the value of Window::Handle.
using NativeWindow = std::uintptr_t;

enum class PixelFormat : uint32_t {
    Unknown = 0,
    R32G32_FLOAT = 16,
    B8G8R8A8_UNORM = 87,
};

enum class ResourceUsage : uint32_t { Default = 0, Dynamic = 2, Staging = 3 };

enum BindFlags : uint32_t {
    BindNone = 0,
    BindConstantBuffer = 0x4,
    BindShaderResource = 0x8,
    BindRenderTarget = 0x20,
};

enum CpuAccessFlags : uint32_t { CpuAccessNone = 0, CpuAccessWrite = 0x10000, CpuAccessRead = 0x20000 };

enum MiscFlags : uint32_t { MiscNone = 0, MiscGenerateMips = 0x1 };

struct Texture2DDesc {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t MipLevels = 1;  // 0: the full chain down to 1 x 1
    uint32_t ArraySize = 1;
    PixelFormat Format = PixelFormat::B8G8R8A8_UNORM;
    uint32_t SampleCount = 1;
    uint32_t SampleQuality = 0;
    ResourceUsage Usage = ResourceUsage::Default;
    uint32_t BindFlags = BindNone;
    uint32_t CpuAccessFlags = CpuAccessNone;
    uint32_t MiscFlags = MiscNone;
};

enum class FilterMode : uint32_t { MinMagMipLinear = 0x15, Anisotropic = 0x55 };
enum class AddressMode : uint32_t { Wrap = 1, Clamp = 3 };
enum class Comparison : uint32_t { Never = 1 };

struct SamplerDesc {
    FilterMode Filter = FilterMode::MinMagMipLinear;
    AddressMode AddressU = AddressMode::Clamp;
    AddressMode AddressV = AddressMode::Clamp;
    AddressMode AddressW = AddressMode::Clamp;
    float MipLodBias = 0;
    uint32_t MaxAnisotropy = 1;
    Comparison ComparisonFunc = Comparison::Never;
    float BorderColor[4] = {1, 1, 1, 1};
    float MinLod = -3.402823466e+38f;
    float MaxLod = 3.402823466e+38f;
};

enum class MapType : uint32_t { Read = 1, WriteDiscard = 4 };

struct MappedSubresource {
    void* Data = nullptr;
    uint32_t RowPitch = 0;
    uint32_t DepthPitch = 0;
};

class Texture2D {
public:
    virtual ~Texture2D() = default;
    virtual Texture2DDesc GetDesc() const = 0;
};

class Buffer {
public:
    virtual ~Buffer() = default;
    virtual uint32_t ByteWidth() const = 0;
};

class RenderTargetView {
public:
    virtual ~RenderTargetView() = default;
    virtual std::shared_ptr<Texture2D> Resource() const = 0;
};

class ShaderResourceView {
public:
    virtual ~ShaderResourceView() = default;
    virtual std::shared_ptr<Texture2D> Resource() const = 0;
};

class SamplerState {
public:
    virtual ~SamplerState() = default;
};

class VertexShader {
public:
    virtual ~VertexShader() = default;
};

class PixelShader {
public:
    virtual ~PixelShader() = default;
};

class DeviceContext {
public:
    virtual ~DeviceContext() = default;

    // Map a dynamic buffer (WriteDiscard) or a staging texture (Read, waits for the GPU).
    virtual MappedSubresource Map(Buffer& buffer, MapType type) = 0;
    virtual void Unmap(Buffer& buffer) = 0;
    virtual MappedSubresource Map(Texture2D& texture, uint32_t subresource, MapType type) = 0;
    virtual void Unmap(Texture2D& texture, uint32_t subresource) = 0;

    // One render target (or none) and no depth-stencil view.
    virtual void OMSetRenderTargets(RenderTargetView* target) = 0;
    virtual void RSSetViewport(float x, float y, float width, float height, float minDepth = 0,
                               float maxDepth = 1) = 0;
    virtual void IASetPrimitiveTopologyTriangleList() = 0;
    virtual void VSSetShader(VertexShader* shader) = 0;
    virtual void PSSetShader(PixelShader* shader) = 0;
    virtual void PSSetConstantBuffer(uint32_t slot, Buffer* buffer) = 0;
    // Binds views to consecutive slots from startSlot; a null entry unbinds its slot.
    virtual void PSSetShaderResources(uint32_t startSlot, std::span<ShaderResourceView* const> views) = 0;
    virtual void PSSetSampler(uint32_t slot, SamplerState* sampler) = 0;
    virtual void Draw(uint32_t vertexCount, uint32_t startVertex) = 0;
    virtual void ClearRenderTargetView(RenderTargetView& target, const float rgba[4]) = 0;
    // Unbinds everything and restores the default state.
    virtual void ClearState() = 0;

    virtual void CopyResource(Texture2D& destination, Texture2D& source) = 0;
    // Copies the whole of the source subresource to (x, y) of the destination subresource.
    virtual void CopySubresourceRegion(Texture2D& destination, uint32_t destinationSubresource, uint32_t x,
                                       uint32_t y, Texture2D& source, uint32_t sourceSubresource) = 0;
    // Writes a whole subresource from memory (rows top first, rowPitch bytes apart).
    virtual void UpdateSubresource(Texture2D& destination, uint32_t subresource, const void* data,
                                   uint32_t rowPitch) = 0;
    // Fills mip levels 1 and below from level 0 (texture made with MiscGenerateMips).
    virtual void GenerateMips(ShaderResourceView& view) = 0;
};

class Device {
public:
    virtual ~Device() = default;

    virtual std::shared_ptr<Texture2D> CreateTexture2D(const Texture2DDesc& desc) = 0;
    // A 16-byte-multiple constant buffer: dynamic usage, CPU write, no initial data.
    virtual std::shared_ptr<Buffer> CreateConstantBuffer(uint32_t byteWidth) = 0;
    virtual std::shared_ptr<RenderTargetView> CreateRenderTargetView(const std::shared_ptr<Texture2D>& texture) = 0;
    virtual std::shared_ptr<ShaderResourceView> CreateShaderResourceView(const std::shared_ptr<Texture2D>& texture) = 0;
    virtual std::shared_ptr<SamplerState> CreateSamplerState(const SamplerDesc& desc) = 0;
    virtual std::shared_ptr<VertexShader> CreateVertexShader(std::span<const uint8_t> bytecode) = 0;
    virtual std::shared_ptr<PixelShader> CreatePixelShader(std::span<const uint8_t> bytecode) = 0;

    // Largest width or height of a 2D texture (16384 at feature level 11).
    virtual uint32_t MaxTextureDimension() const = 0;
    virtual std::shared_ptr<DeviceContext> ImmediateContext() = 0;
};

// A hardware device with its immediate context, with BGRA support. Works without
// any window (offscreen drawing); a swap chain then attaches it to a window.
std::shared_ptr<Device> CreateDevice();

class SwapChain {
public:
    virtual ~SwapChain() = default;
    // Buffer 0 as a texture (B8G8R8A8_UNORM, the swap chain's size).
    virtual std::shared_ptr<Texture2D> GetBuffer(uint32_t index) = 0;
    // Succeeds once no view of a buffer is alive or bound.
    virtual void ResizeBuffers(uint32_t bufferCount, uint32_t width, uint32_t height, PixelFormat format) = 0;
    // Shows buffer 0 in the window, waiting for vertical sync when syncInterval is 1.
    // Returns the result code (negative on failure) instead of raising.
    virtual int32_t Present(uint32_t syncInterval) = 0;
};

// A two-buffer flip-model swap chain on the window's client area. Alt+Enter is
// not associated with anything.
std::shared_ptr<SwapChain> CreateSwapChainForWindow(Device& device, NativeWindow window, uint32_t width,
                                                    uint32_t height);

// The HLSL compiler. Compiles one entry point with a profile ("vs_5_0", "ps_5_0").
// On success Code holds the bytecode the device accepts; on failure Code is empty
// and Errors holds the compiler's messages (zero or more lines naming sourceName
// and the line of the original text), or is empty when the compiler gave none.
struct CompileResult {
    int32_t Result = 0;  // negative on failure
    std::vector<uint8_t> Code;
    std::optional<std::string> Errors;
};
CompileResult Compile(const std::string& source, const std::string& sourceName, const std::string& entryPoint,
                      const std::string& profile);

}  // namespace velk::gpu
