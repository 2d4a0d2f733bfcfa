// What the other Windows layers need of the Direct3D 11 GPU layer: the native
// objects behind the layer's device and textures, for Direct2D drawing into
// textures and Media Foundation. Each function returns a new COM reference as an
// opaque pointer (the caller releases it once) and raises ComException when the
// interface is not available. To hand it to a ComPtr without a second reference,
// write it into the empty pointer: `*p.ReleaseAndGetAddressOf() = static_cast<T*>(r)`;
// MinGW-w64's ComPtr::Attach adds a reference of its own, unlike the SDK's.
//
// Implemented by gpu_d3d11.cpp only; the Linux build never includes this header.
#pragma once

namespace velk::gpu {
class Device;
class DeviceContext;
class Texture2D;
}  // namespace velk::gpu

namespace velk::gpu::interop {

// The ID3D11Device of the device.
void* D3D11Device(Device& device);
// The ID3D11DeviceContext of the context.
void* D3D11DeviceContext(DeviceContext& context);
// The IDXGIDevice of the device.
void* DxgiDevice(Device& device);
// The ID3D11Texture2D of the texture.
void* D3D11Texture(Texture2D& texture);
// The IDXGISurface of a texture of one mip level.
void* DxgiSurface(Texture2D& texture);

}  // namespace velk::gpu::interop
