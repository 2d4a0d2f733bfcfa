// The Direct3D 11 GPU layer and D3DCompile: the shared cases of
// gpu_layer_contract.h, then the swap chain on a window and the accessors that the
// Direct2D and Media Foundation layers use.
#include <windows.h>

#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstring>
#include <functional>
#include <string>

#include "unit/compiler_messages.h"
#include "windows/wine.h"

#define VELK_GPU_SUITE GpuD3d11
#define VELK_GPU_REQUIRE_DEVICE() (void)0
#define VELK_GPU_SKIP_WHERE_LIMITED(reason) VELK_SKIP_UNDER_WINE(reason)
// The compiler's messages in either form of D3DCompile (unit/compiler_messages.h).
#define VELK_GPU_EXPECT_MESSAGE_AT(errors, name, line) \
    EXPECT_TRUE(::velk::testing::MessageAt((errors), (name), (line))) << (errors)

#include "unit/gpu_layer_contract.h"

#include "render/d3d11/gpu_interop_windows.h"

using Microsoft::WRL::ComPtr;

namespace {

// A borderless window of the given client size on the virtual screen.
class TestWindow {
public:
    TestWindow(int width, int height) {
        WNDCLASSW c{};
        c.lpfnWndProc = DefWindowProcW;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"velk-gpu-test";
        RegisterClassW(&c);  // a second registration fails harmlessly
        handle_ = CreateWindowExW(0, c.lpszClassName, L"gpu test", WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                                  nullptr, nullptr, c.hInstance, nullptr);
    }
    ~TestWindow() { DestroyWindow(handle_); }
    HWND Handle() const { return handle_; }

private:
    HWND handle_ = nullptr;
};

// Takes over a new reference. (MinGW-w64's ComPtr::Attach adds one of its own.)
template <class T>
ComPtr<T> Adopt(void* reference) {
    ComPtr<T> owner;
    *owner.ReleaseAndGetAddressOf() = static_cast<T*>(reference);
    return owner;
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

int32_t RaisedCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const velk::ComException& e) {
        return e.Code();
    }
    return 0;
}

}  // namespace

TEST(GpuD3d11, SwapChainBufferResizeAndPresentCodes) {
    TestWindow window(64, 48);
    ASSERT_NE(window.Handle(), nullptr);
    velk::gpu_contract::Gpu g;
    auto swapChain = gpu::CreateSwapChainForWindow(*g.Device, reinterpret_cast<gpu::NativeWindow>(window.Handle()), 64, 48);
    auto buffer = swapChain->GetBuffer(0);
    gpu::Texture2DDesc desc = buffer->GetDesc();
    EXPECT_EQ(desc.Width, 64u);
    EXPECT_EQ(desc.Height, 48u);
    EXPECT_EQ(desc.Format, gpu::PixelFormat::B8G8R8A8_UNORM);

    // The back buffer takes a clear and a draw like any target, as the renderer's
    // letterboxed frame does: cleared green, the right half drawn red, copied, read
    // back. (Wine 10's Vulkan renderer loses a clear that no draw follows.)
    auto view = g.Device->CreateRenderTargetView(buffer);
    const float green[4] = {0, 1, 0, 1};
    g.Context->ClearRenderTargetView(*view, green);
    auto red = g.Pixel(velk::gpu_contract::Gpu::Source("return float4(1, 0, 0, 1);"));
    ASSERT_NE(red, nullptr);
    g.Context->OMSetRenderTargets(view.get());
    g.Context->RSSetViewport(32, 0, 32, 48);
    g.Context->IASetPrimitiveTopologyTriangleList();
    g.Context->VSSetShader(g.Vertex.get());
    g.Context->PSSetShader(red.get());
    g.Context->Draw(3, 0);
    auto staging = g.Staging(64, 48, gpu::PixelFormat::B8G8R8A8_UNORM);
    g.Context->CopyResource(*staging, *buffer);
    auto bytes = g.Read(*staging, 4);
    for (uint32_t x : {0u, 31u, 32u, 63u}) {
        SCOPED_TRACE("x " + std::to_string(x));
        const uint8_t* bgr = &bytes[(47 * 64 + x) * 4];
        EXPECT_EQ(bgr[0], 0);
        EXPECT_EQ(bgr[1], x < 32 ? 255 : 0);
        EXPECT_EQ(bgr[2], x < 32 ? 0 : 255);
    }
    EXPECT_GE(swapChain->Present(1), 0);

    // Resizing fails while a view of a buffer is alive and bound...
    const int32_t invalidCall = static_cast<int32_t>(DXGI_ERROR_INVALID_CALL);
    EXPECT_EQ(RaisedCode([&] { swapChain->ResizeBuffers(2, 32, 16, gpu::PixelFormat::B8G8R8A8_UNORM); }),
              invalidCall);
    // ...and succeeds once it is unbound and released.
    g.Context->OMSetRenderTargets(nullptr);
    view.reset();
    buffer.reset();
    swapChain->ResizeBuffers(2, 32, 16, gpu::PixelFormat::B8G8R8A8_UNORM);
    desc = swapChain->GetBuffer(0)->GetDesc();
    EXPECT_EQ(desc.Width, 32u);
    EXPECT_EQ(desc.Height, 16u);
    EXPECT_EQ(RaisedCode([&] { swapChain->GetBuffer(5); }), invalidCall);

    // A failing present (a sync interval above 4) returns its code instead of raising.
    int32_t code = 0;
    EXPECT_NO_THROW(code = swapChain->Present(5));
    EXPECT_EQ(code, invalidCall);
    EXPECT_GE(swapChain->Present(0), 0);
}

TEST(GpuD3d11, InteropGivesNewReferencesToTheNativeObjects) {
    velk::gpu_contract::Gpu g;
    auto device = Adopt<ID3D11Device>(gpu::interop::D3D11Device(*g.Device));
    ASSERT_NE(device, nullptr);
    EXPECT_GE(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);
    if (!velk::test::RunningUnderWine()) {  // Wine's GetCreationFlags gives 0
        EXPECT_TRUE(device->GetCreationFlags() & D3D11_CREATE_DEVICE_BGRA_SUPPORT);
    }

    auto context = Adopt<ID3D11DeviceContext>(gpu::interop::D3D11DeviceContext(*g.Context));
    ComPtr<ID3D11Device> owner;
    context->GetDevice(&owner);
    EXPECT_EQ(owner, device);

    auto dxgi = Adopt<IDXGIDevice>(gpu::interop::DxgiDevice(*g.Device));
    ComPtr<ID3D11Device> same;
    ASSERT_TRUE(SUCCEEDED(dxgi.As(&same)));
    EXPECT_EQ(same, device);

    // A texture's reference: one more while the caller holds it.
    gpu::Texture2DDesc desc;
    desc.Width = 8;
    desc.Height = 4;
    desc.BindFlags = gpu::BindRenderTarget;
    auto texture = g.Device->CreateTexture2D(desc);
    auto native = Adopt<ID3D11Texture2D>(gpu::interop::D3D11Texture(*texture));
    const ULONG held = References(native.Get());
    {
        auto again = Adopt<ID3D11Texture2D>(gpu::interop::D3D11Texture(*texture));
        EXPECT_EQ(again, native);
        EXPECT_EQ(References(native.Get()), held + 1);
    }
    EXPECT_EQ(References(native.Get()), held);

    // A surface of a single-level texture; a mip chain has none.
    auto surface = Adopt<IDXGISurface>(gpu::interop::DxgiSurface(*texture));
    DXGI_SURFACE_DESC surfaceDesc{};
    ASSERT_TRUE(SUCCEEDED(surface->GetDesc(&surfaceDesc)));
    EXPECT_EQ(surfaceDesc.Width, 8u);
    EXPECT_EQ(surfaceDesc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    desc.MipLevels = 0;
    desc.BindFlags = gpu::BindRenderTarget | gpu::BindShaderResource;
    desc.MiscFlags = gpu::MiscGenerateMips;
    auto chain = g.Device->CreateTexture2D(desc);
    EXPECT_EQ(RaisedCode([&] { gpu::interop::DxgiSurface(*chain); }), static_cast<int32_t>(E_NOINTERFACE));
}

TEST(GpuD3d11, CompileGivesTheCompilersCodeAndTextUnchanged) {
    struct Case {
        std::string Source, Entry;
    } cases[] = {
        {std::string(velk::gpu_contract::kHeader) + "float4 PSMain() : SV_Target { return float4(iTime, 0, 0, 1); }\n",
         "PSMain"},
        {std::string(velk::gpu_contract::kHeader) + "float4 PSMain() : SV_Target { return nothing; }\n", "PSMain"},
        {velk::gpu_contract::kHeader, "EndTime"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Entry + ": " + c.Source.substr(c.Source.size() - 40));
        ComPtr<ID3DBlob> code, errors;
        HRESULT direct = D3DCompile(c.Source.data(), c.Source.size(), "named.hlsl", nullptr, nullptr, c.Entry.c_str(),
                                    "ps_5_0", 0, 0, &code, &errors);
        auto compiled = gpu::Compile(c.Source, "named.hlsl", c.Entry, "ps_5_0");
        EXPECT_EQ(compiled.Result, static_cast<int32_t>(direct));
        if (SUCCEEDED(direct)) {
            ASSERT_NE(code, nullptr);
            const auto* bytes = static_cast<const uint8_t*>(code->GetBufferPointer());
            EXPECT_EQ(compiled.Code, std::vector<uint8_t>(bytes, bytes + code->GetBufferSize()));
            EXPECT_FALSE(compiled.Errors.has_value());
        } else {
            EXPECT_TRUE(compiled.Code.empty());
            ASSERT_NE(errors, nullptr);
            ASSERT_TRUE(compiled.Errors.has_value());
            // The text up to its zero byte, within the blob: Wine's blob has no zero byte.
            const auto* text = static_cast<const char*>(errors->GetBufferPointer());
            EXPECT_EQ(*compiled.Errors, std::string(text, strnlen(text, errors->GetBufferSize())));
        }
    }
}

TEST(GpuD3d11, ViewsKeepTheirTextureAndEveryReferenceGoesOnce) {
    velk::gpu_contract::Gpu g;
    gpu::Texture2DDesc desc;
    desc.Width = 4;
    desc.Height = 4;
    desc.BindFlags = gpu::BindRenderTarget | gpu::BindShaderResource;
    auto texture = g.Device->CreateTexture2D(desc);
    auto native = Adopt<ID3D11Texture2D>(gpu::interop::D3D11Texture(*texture));
    const ULONG alone = References(native.Get());  // the layer's and this test's
    auto target = g.Device->CreateRenderTargetView(texture);
    auto resource = g.Device->CreateShaderResourceView(texture);
    texture.reset();
    EXPECT_GE(References(native.Get()), alone);  // the views keep the layer's reference
    EXPECT_EQ(resource->Resource(), target->Resource());
    target.reset();
    resource.reset();
    EXPECT_EQ(References(native.Get()), 1u);  // only this test's remains
}
