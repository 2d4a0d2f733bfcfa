// GPU layer on Direct3D 11 and DXGI (Windows).
//
// Each operation of gpu.h is the Direct3D 11 or DXGI call of the same name, with
// its arguments passed through and its own semantics: texture rows top first,
// SV_Position y down, back-face culling, unbound slots and the bound-state rules
// are the platform's, nothing is emulated. Every native object has one owner, a
// Microsoft::WRL::ComPtr inside the wrapper that the callers hold by shared_ptr,
// so each reference is released once, when the last holder lets go; a view also
// holds its texture's wrapper. A failing call raises ComException with its result
// code at the call site; Present returns its code and MakeWindowAssociation's
// result is not looked at.
// What it does not do: input layouts, vertex or index buffers, blend,
// depth-stencil or rasterizer state, more than one render target, multisampling,
// deferred contexts, exclusive full screen.
#include <windows.h>

#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include "host/errors.h"
#include "render/gpu.h"
#include "render/d3d11/gpu_interop_windows.h"

using Microsoft::WRL::ComPtr;

namespace velk::gpu {

namespace {

void Check(HRESULT result, const char* what) { ThrowIfFailed(static_cast<int32_t>(result), what); }

template <class T, class U>
T& As(U& object, const char* what) {
    auto* p = dynamic_cast<T*>(&object);
    if (!p) ThrowIfFailed(hr::E_INVALIDARG_, what, "object of another device");
    return *p;
}

class D3DTexture : public Texture2D {
public:
    explicit D3DTexture(ComPtr<ID3D11Texture2D> texture) : texture_(std::move(texture)) {}
    Texture2DDesc GetDesc() const override {
        D3D11_TEXTURE2D_DESC d;
        texture_->GetDesc(&d);
        Texture2DDesc desc;
        desc.Width = d.Width;
        desc.Height = d.Height;
        desc.MipLevels = d.MipLevels;
        desc.ArraySize = d.ArraySize;
        desc.Format = static_cast<PixelFormat>(d.Format);
        desc.SampleCount = d.SampleDesc.Count;
        desc.SampleQuality = d.SampleDesc.Quality;
        desc.Usage = static_cast<ResourceUsage>(d.Usage);
        desc.BindFlags = d.BindFlags;
        desc.CpuAccessFlags = d.CPUAccessFlags;
        desc.MiscFlags = d.MiscFlags;
        return desc;
    }
    ID3D11Texture2D* Get() const { return texture_.Get(); }

private:
    ComPtr<ID3D11Texture2D> texture_;
};

class D3DBuffer : public Buffer {
public:
    D3DBuffer(ComPtr<ID3D11Buffer> buffer, uint32_t byteWidth) : buffer_(std::move(buffer)), byteWidth_(byteWidth) {}
    uint32_t ByteWidth() const override { return byteWidth_; }
    ID3D11Buffer* Get() const { return buffer_.Get(); }

private:
    ComPtr<ID3D11Buffer> buffer_;
    uint32_t byteWidth_;
};

class D3DRenderTargetView : public RenderTargetView {
public:
    D3DRenderTargetView(ComPtr<ID3D11RenderTargetView> view, std::shared_ptr<Texture2D> texture)
        : texture_(std::move(texture)), view_(std::move(view)) {}
    std::shared_ptr<Texture2D> Resource() const override { return texture_; }
    ID3D11RenderTargetView* Get() const { return view_.Get(); }

private:
    std::shared_ptr<Texture2D> texture_;  // declared first: outlives the view
    ComPtr<ID3D11RenderTargetView> view_;
};

class D3DShaderResourceView : public ShaderResourceView {
public:
    D3DShaderResourceView(ComPtr<ID3D11ShaderResourceView> view, std::shared_ptr<Texture2D> texture)
        : texture_(std::move(texture)), view_(std::move(view)) {}
    std::shared_ptr<Texture2D> Resource() const override { return texture_; }
    ID3D11ShaderResourceView* Get() const { return view_.Get(); }

private:
    std::shared_ptr<Texture2D> texture_;  // declared first: outlives the view
    ComPtr<ID3D11ShaderResourceView> view_;
};

class D3DSampler : public SamplerState {
public:
    explicit D3DSampler(ComPtr<ID3D11SamplerState> sampler) : sampler_(std::move(sampler)) {}
    ID3D11SamplerState* Get() const { return sampler_.Get(); }

private:
    ComPtr<ID3D11SamplerState> sampler_;
};

class D3DVertexShader : public VertexShader {
public:
    explicit D3DVertexShader(ComPtr<ID3D11VertexShader> shader) : shader_(std::move(shader)) {}
    ID3D11VertexShader* Get() const { return shader_.Get(); }

private:
    ComPtr<ID3D11VertexShader> shader_;
};

class D3DPixelShader : public PixelShader {
public:
    explicit D3DPixelShader(ComPtr<ID3D11PixelShader> shader) : shader_(std::move(shader)) {}
    ID3D11PixelShader* Get() const { return shader_.Get(); }

private:
    ComPtr<ID3D11PixelShader> shader_;
};

template <class T, class U>
auto* NativeOrNull(U* object, const char* what) {
    return object ? As<T>(*object, what).Get() : nullptr;
}

class D3DContext : public DeviceContext {
public:
    explicit D3DContext(ComPtr<ID3D11DeviceContext> context) : context_(std::move(context)) {}

    MappedSubresource Map(Buffer& buffer, MapType type) override {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        Check(context_->Map(As<D3DBuffer>(buffer, "Map").Get(), 0, static_cast<D3D11_MAP>(type), 0, &mapped), "Map");
        return {mapped.pData, mapped.RowPitch, mapped.DepthPitch};
    }
    void Unmap(Buffer& buffer) override { context_->Unmap(As<D3DBuffer>(buffer, "Unmap").Get(), 0); }
    MappedSubresource Map(Texture2D& texture, uint32_t subresource, MapType type) override {
        D3D11_MAPPED_SUBRESOURCE mapped{};
        Check(context_->Map(As<D3DTexture>(texture, "Map").Get(), subresource, static_cast<D3D11_MAP>(type), 0,
                            &mapped),
              "Map");
        return {mapped.pData, mapped.RowPitch, mapped.DepthPitch};
    }
    void Unmap(Texture2D& texture, uint32_t subresource) override {
        context_->Unmap(As<D3DTexture>(texture, "Unmap").Get(), subresource);
    }
    void OMSetRenderTargets(RenderTargetView* target) override {
        ID3D11RenderTargetView* views[1] = {NativeOrNull<D3DRenderTargetView>(target, "OMSetRenderTargets")};
        context_->OMSetRenderTargets(1, views, nullptr);
    }
    void RSSetViewport(float x, float y, float width, float height, float minDepth, float maxDepth) override {
        const D3D11_VIEWPORT viewport{x, y, width, height, minDepth, maxDepth};
        context_->RSSetViewports(1, &viewport);
    }
    void IASetPrimitiveTopologyTriangleList() override {
        context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    }
    void VSSetShader(VertexShader* shader) override {
        context_->VSSetShader(NativeOrNull<D3DVertexShader>(shader, "VSSetShader"), nullptr, 0);
    }
    void PSSetShader(PixelShader* shader) override {
        context_->PSSetShader(NativeOrNull<D3DPixelShader>(shader, "PSSetShader"), nullptr, 0);
    }
    void PSSetConstantBuffer(uint32_t slot, Buffer* buffer) override {
        ID3D11Buffer* buffers[1] = {NativeOrNull<D3DBuffer>(buffer, "PSSetConstantBuffers")};
        context_->PSSetConstantBuffers(slot, 1, buffers);
    }
    void PSSetShaderResources(uint32_t startSlot, std::span<ShaderResourceView* const> views) override {
        ID3D11ShaderResourceView* native[D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT];
        if (views.size() > D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT)
            ThrowIfFailed(hr::E_INVALIDARG_, "PSSetShaderResources", "more views than slots");
        for (size_t i = 0; i < views.size(); ++i)
            native[i] = NativeOrNull<D3DShaderResourceView>(views[i], "PSSetShaderResources");
        context_->PSSetShaderResources(startSlot, static_cast<UINT>(views.size()), native);
    }
    void PSSetSampler(uint32_t slot, SamplerState* sampler) override {
        ID3D11SamplerState* samplers[1] = {NativeOrNull<D3DSampler>(sampler, "PSSetSamplers")};
        context_->PSSetSamplers(slot, 1, samplers);
    }
    void Draw(uint32_t vertexCount, uint32_t startVertex) override { context_->Draw(vertexCount, startVertex); }
    void ClearRenderTargetView(RenderTargetView& target, const float rgba[4]) override {
        context_->ClearRenderTargetView(As<D3DRenderTargetView>(target, "ClearRenderTargetView").Get(), rgba);
    }
    void ClearState() override { context_->ClearState(); }
    void CopyResource(Texture2D& destination, Texture2D& source) override {
        context_->CopyResource(As<D3DTexture>(destination, "CopyResource").Get(),
                               As<D3DTexture>(source, "CopyResource").Get());
    }
    void CopySubresourceRegion(Texture2D& destination, uint32_t destinationSubresource, uint32_t x, uint32_t y,
                               Texture2D& source, uint32_t sourceSubresource) override {
        context_->CopySubresourceRegion(As<D3DTexture>(destination, "CopySubresourceRegion").Get(),
                                        destinationSubresource, x, y, 0,
                                        As<D3DTexture>(source, "CopySubresourceRegion").Get(), sourceSubresource,
                                        nullptr);
    }
    void UpdateSubresource(Texture2D& destination, uint32_t subresource, const void* data,
                           uint32_t rowPitch) override {
        context_->UpdateSubresource(As<D3DTexture>(destination, "UpdateSubresource").Get(), subresource, nullptr,
                                    data, rowPitch, 0);
    }
    void GenerateMips(ShaderResourceView& view) override {
        context_->GenerateMips(As<D3DShaderResourceView>(view, "GenerateMips").Get());
    }

    ID3D11DeviceContext* Get() const { return context_.Get(); }

private:
    ComPtr<ID3D11DeviceContext> context_;
};

class D3DDevice : public Device {
public:
    D3DDevice(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context)
        : device_(std::move(device)), immediate_(std::make_shared<D3DContext>(std::move(context))) {}

    std::shared_ptr<Texture2D> CreateTexture2D(const Texture2DDesc& desc) override {
        D3D11_TEXTURE2D_DESC d{};
        d.Width = desc.Width;
        d.Height = desc.Height;
        d.MipLevels = desc.MipLevels;
        d.ArraySize = desc.ArraySize;
        d.Format = static_cast<DXGI_FORMAT>(desc.Format);
        d.SampleDesc.Count = desc.SampleCount;
        d.SampleDesc.Quality = desc.SampleQuality;
        d.Usage = static_cast<D3D11_USAGE>(desc.Usage);
        d.BindFlags = desc.BindFlags;
        d.CPUAccessFlags = desc.CpuAccessFlags;
        d.MiscFlags = desc.MiscFlags;
        ComPtr<ID3D11Texture2D> texture;
        // A refused texture names its size, as the recording size asked for it.
        ThrowIfFailed(static_cast<int32_t>(device_->CreateTexture2D(&d, nullptr, &texture)), "CreateTexture2D",
                      "size " + std::to_string(d.Width) + "x" + std::to_string(d.Height));
        return std::make_shared<D3DTexture>(std::move(texture));
    }
    std::shared_ptr<Buffer> CreateConstantBuffer(uint32_t byteWidth) override {
        D3D11_BUFFER_DESC d{};
        d.ByteWidth = byteWidth;
        d.Usage = D3D11_USAGE_DYNAMIC;
        d.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        d.MiscFlags = 0;
        d.StructureByteStride = 0;
        ComPtr<ID3D11Buffer> buffer;
        Check(device_->CreateBuffer(&d, nullptr, &buffer), "CreateBuffer");
        return std::make_shared<D3DBuffer>(std::move(buffer), byteWidth);
    }
    std::shared_ptr<RenderTargetView> CreateRenderTargetView(const std::shared_ptr<Texture2D>& texture) override {
        ComPtr<ID3D11RenderTargetView> view;
        Check(device_->CreateRenderTargetView(Native(texture, "CreateRenderTargetView"), nullptr, &view),
              "CreateRenderTargetView");
        return std::make_shared<D3DRenderTargetView>(std::move(view), texture);
    }
    std::shared_ptr<ShaderResourceView> CreateShaderResourceView(const std::shared_ptr<Texture2D>& texture) override {
        ComPtr<ID3D11ShaderResourceView> view;
        Check(device_->CreateShaderResourceView(Native(texture, "CreateShaderResourceView"), nullptr, &view),
              "CreateShaderResourceView");
        return std::make_shared<D3DShaderResourceView>(std::move(view), texture);
    }
    std::shared_ptr<SamplerState> CreateSamplerState(const SamplerDesc& desc) override {
        D3D11_SAMPLER_DESC d{};
        d.Filter = static_cast<D3D11_FILTER>(desc.Filter);
        d.AddressU = static_cast<D3D11_TEXTURE_ADDRESS_MODE>(desc.AddressU);
        d.AddressV = static_cast<D3D11_TEXTURE_ADDRESS_MODE>(desc.AddressV);
        d.AddressW = static_cast<D3D11_TEXTURE_ADDRESS_MODE>(desc.AddressW);
        d.MipLODBias = desc.MipLodBias;
        d.MaxAnisotropy = desc.MaxAnisotropy;
        d.ComparisonFunc = static_cast<D3D11_COMPARISON_FUNC>(desc.ComparisonFunc);
        for (int i = 0; i < 4; ++i) d.BorderColor[i] = desc.BorderColor[i];
        d.MinLOD = desc.MinLod;
        d.MaxLOD = desc.MaxLod;
        ComPtr<ID3D11SamplerState> sampler;
        Check(device_->CreateSamplerState(&d, &sampler), "CreateSamplerState");
        return std::make_shared<D3DSampler>(std::move(sampler));
    }
    std::shared_ptr<VertexShader> CreateVertexShader(std::span<const uint8_t> bytecode) override {
        ComPtr<ID3D11VertexShader> shader;
        Check(device_->CreateVertexShader(bytecode.data(), bytecode.size(), nullptr, &shader), "CreateVertexShader");
        return std::make_shared<D3DVertexShader>(std::move(shader));
    }
    std::shared_ptr<PixelShader> CreatePixelShader(std::span<const uint8_t> bytecode) override {
        ComPtr<ID3D11PixelShader> shader;
        Check(device_->CreatePixelShader(bytecode.data(), bytecode.size(), nullptr, &shader), "CreatePixelShader");
        return std::make_shared<D3DPixelShader>(std::move(shader));
    }
    uint32_t MaxTextureDimension() const override {
        // Feature levels 11_0 and 11_1 are the only ones the device is made with.
        return D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION;
    }
    std::shared_ptr<DeviceContext> ImmediateContext() override { return immediate_; }

    ID3D11Device* Get() const { return device_.Get(); }

private:
    static ID3D11Texture2D* Native(const std::shared_ptr<Texture2D>& texture, const char* what) {
        if (!texture) ThrowIfFailed(hr::E_INVALIDARG_, what, "no texture");
        return As<D3DTexture>(*texture, what).Get();
    }
    // Members go in reverse order: the context's reference before the device's.
    ComPtr<ID3D11Device> device_;
    std::shared_ptr<D3DContext> immediate_;
};

class D3DSwapChain : public SwapChain {
public:
    explicit D3DSwapChain(ComPtr<IDXGISwapChain1> swapChain) : swapChain_(std::move(swapChain)) {}
    std::shared_ptr<Texture2D> GetBuffer(uint32_t index) override {
        ComPtr<ID3D11Texture2D> buffer;
        Check(swapChain_->GetBuffer(index, IID_PPV_ARGS(&buffer)), "GetBuffer");
        return std::make_shared<D3DTexture>(std::move(buffer));
    }
    void ResizeBuffers(uint32_t bufferCount, uint32_t width, uint32_t height, PixelFormat format) override {
        Check(swapChain_->ResizeBuffers(bufferCount, width, height, static_cast<DXGI_FORMAT>(format), 0),
              "ResizeBuffers");
    }
    int32_t Present(uint32_t syncInterval) override {
        return static_cast<int32_t>(swapChain_->Present(syncInterval, 0));
    }

private:
    ComPtr<IDXGISwapChain1> swapChain_;
};

}  // namespace

std::shared_ptr<Device> CreateDevice() {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    Check(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                            ARRAYSIZE(levels), D3D11_SDK_VERSION, &device, nullptr, &context),
          "D3D11CreateDevice");
    return std::make_shared<D3DDevice>(std::move(device), std::move(context));
}

std::shared_ptr<SwapChain> CreateSwapChainForWindow(Device& device, NativeWindow window, uint32_t width,
                                                    uint32_t height) {
    ID3D11Device* d3d = As<D3DDevice>(device, "CreateSwapChainForHwnd").Get();
    HWND hwnd = reinterpret_cast<HWND>(window);
    // The factory lives for this call only.
    ComPtr<IDXGIFactory2> factory;
    Check(CreateDXGIFactory1(IID_PPV_ARGS(&factory)), "CreateDXGIFactory1");

    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = width;
    desc.Height = height;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.Stereo = FALSE;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.Scaling = DXGI_SCALING_STRETCH;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    desc.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
    desc.Flags = 0;
    ComPtr<IDXGISwapChain1> swapChain;
    Check(factory->CreateSwapChainForHwnd(d3d, hwnd, &desc, nullptr, nullptr, &swapChain), "CreateSwapChainForHwnd");
    // Alt+Enter toggles nothing; a failure here changes nothing either.
    (void)factory->MakeWindowAssociation(hwnd, DXGI_MWA_NO_ALT_ENTER);
    return std::make_shared<D3DSwapChain>(std::move(swapChain));
}

namespace interop {

void* D3D11Device(Device& device) {
    ComPtr<ID3D11Device> native = As<D3DDevice>(device, "D3D11Device").Get();
    return native.Detach();
}

void* D3D11DeviceContext(DeviceContext& context) {
    ComPtr<ID3D11DeviceContext> native = As<D3DContext>(context, "D3D11DeviceContext").Get();
    return native.Detach();
}

void* DxgiDevice(Device& device) {
    ComPtr<IDXGIDevice> dxgi;
    Check(As<D3DDevice>(device, "QueryInterface").Get()->QueryInterface(IID_PPV_ARGS(&dxgi)),
          "QueryInterface(IDXGIDevice)");
    return dxgi.Detach();
}

void* D3D11Texture(Texture2D& texture) {
    ComPtr<ID3D11Texture2D> native = As<D3DTexture>(texture, "D3D11Texture").Get();
    return native.Detach();
}

void* DxgiSurface(Texture2D& texture) {
    ComPtr<IDXGISurface> surface;
    Check(As<D3DTexture>(texture, "QueryInterface").Get()->QueryInterface(IID_PPV_ARGS(&surface)),
          "QueryInterface(IDXGISurface)");
    return surface.Detach();
}

}  // namespace interop

}  // namespace velk::gpu
