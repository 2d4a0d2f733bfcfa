// The one place that declares Windows SDK items MinGW-w64's headers lack. Each
// interface is declared in its documented vtable order; methods the program never
// calls keep their slot as a placeholder, so that every called method sits at its
// real offset. Windows-only; include after the SDK headers it extends.
#pragma once

// --- Media Foundation ---------------------------------------------------------
// MFCreateMFByteStreamOnStream: exported by libmfplat.a, declared by no MinGW-w64
// header. A Media Foundation byte stream that reads (and writes) the IStream.
#include <objidl.h>
struct IMFByteStream;
extern "C" HRESULT WINAPI MFCreateMFByteStreamOnStream(IStream* stream, IMFByteStream** byteStream);
