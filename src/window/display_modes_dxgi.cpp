// Display modes through DXGI (Windows): adapter 0, output 0, every mode of the
// B8G8R8A8 format in the order the output reports them. A failed call raises at
// the call; the objects obtained so far are released as the error leaves (the
// dialog's list then falls back to its fixed sizes). On success the output, the
// adapter and the factory are released in that order.
#include <windows.h>
#include <dxgi.h>
#include <wrl/client.h>

#include "host/errors.h"
#include "window/setup_dialog.h"

namespace velk::platform {

std::vector<ModeSize> QueryDisplayModes() {
    using Microsoft::WRL::ComPtr;
    ComPtr<IDXGIFactory1> factory;
    ThrowIfFailed(CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf())),
                  "CreateDXGIFactory1");
    ComPtr<IDXGIAdapter1> adapter;
    ThrowIfFailed(factory->EnumAdapters1(0, adapter.GetAddressOf()), "IDXGIFactory1::EnumAdapters1");
    ComPtr<IDXGIOutput> output;
    ThrowIfFailed(adapter->EnumOutputs(0, output.GetAddressOf()), "IDXGIAdapter::EnumOutputs");

    UINT count = 0;
    ThrowIfFailed(output->GetDisplayModeList(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, nullptr),
                  "IDXGIOutput::GetDisplayModeList");
    std::vector<DXGI_MODE_DESC> descriptions(count);
    if (count > 0)
        ThrowIfFailed(output->GetDisplayModeList(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, descriptions.data()),
                      "IDXGIOutput::GetDisplayModeList");
    descriptions.resize(count);

    std::vector<ModeSize> sizes;
    sizes.reserve(count);
    for (const DXGI_MODE_DESC& d : descriptions)
        sizes.emplace_back(static_cast<int32_t>(d.Width), static_cast<int32_t>(d.Height));

    output.Reset();
    adapter.Reset();
    factory.Reset();
    return sizes;
}

}  // namespace velk::platform
