// HLSL compiler on Windows: D3DCompile of d3dcompiler_47. The source text is
// compiled as given, named `sourceName` in the compiler's messages, with no macros,
// no include handler (an include directive fails) and flags 0. The error blob's
// text reaches the caller unchanged, up to its terminating zero byte.
#include <windows.h>

#include <d3dcompiler.h>
#include <wrl/client.h>

#include <cstring>

#include "render/gpu.h"

using Microsoft::WRL::ComPtr;

namespace velk::gpu {

CompileResult Compile(const std::string& source, const std::string& sourceName, const std::string& entryPoint,
                      const std::string& profile) {
    ComPtr<ID3DBlob> code;
    ComPtr<ID3DBlob> errors;
    HRESULT result = D3DCompile(source.data(), source.size(), sourceName.c_str(), nullptr, nullptr,
                                entryPoint.c_str(), profile.c_str(), 0, 0, &code, &errors);
    CompileResult compiled;
    compiled.Result = static_cast<int32_t>(result);
    if (SUCCEEDED(result) && code) {
        // Warnings that the error blob may hold are not passed on.
        const auto* bytes = static_cast<const uint8_t*>(code->GetBufferPointer());
        compiled.Code.assign(bytes, bytes + code->GetBufferSize());
    } else if (errors) {
        const auto* text = static_cast<const char*>(errors->GetBufferPointer());
        compiled.Errors = std::string(text, strnlen(text, errors->GetBufferSize()));
    }
    return compiled;
}

}  // namespace velk::gpu
