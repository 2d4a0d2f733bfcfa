// The one place that declares Windows SDK items MinGW-w64's headers lack. Each
// interface is declared in its documented vtable order; methods the program never
// calls keep their slot as a placeholder, so that every called method sits at its
// real offset. Windows-only; include after the SDK headers it extends.
//
// Slot numbers below count from the start of the vtable (IUnknown's QueryInterface
// is slot 0). MinGW-w64 declares ID2D1DeviceContext itself: its methods occupy
// slots 57 to 91 (FillOpacityMask), so ID2D1DeviceContext1 begins at slot 92.
#pragma once

#include <d2d1_1.h>
#include <objidl.h>

// ---------------------------------------------------------------------------
// Direct2D SVG documents and the device contexts up to ID2D1DeviceContext5

// Slots 0-3 come from ID2D1Resource (IUnknown + GetFactory).
interface ID2D1SvgDocument : public ID2D1Resource {
    STDMETHOD_(void, Placeholder_SetViewportSize)() PURE;         // 4
    STDMETHOD_(void, Placeholder_GetViewportSize)() PURE;         // 5
    STDMETHOD_(void, Placeholder_SetRoot)() PURE;                 // 6
    STDMETHOD_(void, Placeholder_GetRoot)() PURE;                 // 7
    STDMETHOD_(void, Placeholder_FindElementById)() PURE;         // 8
    STDMETHOD_(void, Placeholder_Serialize)() PURE;               // 9
    STDMETHOD_(void, Placeholder_Deserialize)() PURE;             // 10
    STDMETHOD_(void, Placeholder_CreatePaint)() PURE;             // 11
    STDMETHOD_(void, Placeholder_CreateStrokeDashArray)() PURE;   // 12
    STDMETHOD_(void, Placeholder_CreatePointCollection)() PURE;   // 13
    STDMETHOD_(void, Placeholder_CreatePathData)() PURE;          // 14
};
__CRT_UUID_DECL(ID2D1SvgDocument, 0x86b88e4d, 0xafa4, 0x4d7b, 0x88, 0xe4, 0x68, 0xa5, 0x1c, 0x4a, 0x0a, 0xec)

interface ID2D1DeviceContext1 : public ID2D1DeviceContext {
    STDMETHOD_(void, Placeholder_CreateFilledGeometryRealization)() PURE;   // 92
    STDMETHOD_(void, Placeholder_CreateStrokedGeometryRealization)() PURE;  // 93
    STDMETHOD_(void, Placeholder_DrawGeometryRealization)() PURE;           // 94
};
__CRT_UUID_DECL(ID2D1DeviceContext1, 0xd37f57e4, 0x6908, 0x459f, 0xa1, 0x99, 0xe7, 0x2f, 0x24, 0xf7, 0x99, 0x87)

interface ID2D1DeviceContext2 : public ID2D1DeviceContext1 {
    STDMETHOD_(void, Placeholder_CreateInk)() PURE;                     // 95
    STDMETHOD_(void, Placeholder_CreateInkStyle)() PURE;                // 96
    STDMETHOD_(void, Placeholder_CreateGradientMesh)() PURE;            // 97
    STDMETHOD_(void, Placeholder_CreateImageSourceFromWic)() PURE;      // 98
    STDMETHOD_(void, Placeholder_CreateLookupTable3D)() PURE;           // 99
    STDMETHOD_(void, Placeholder_CreateImageSourceFromDxgi)() PURE;     // 100
    STDMETHOD_(void, Placeholder_GetGradientMeshWorldBounds)() PURE;    // 101
    STDMETHOD_(void, Placeholder_DrawInk)() PURE;                       // 102
    STDMETHOD_(void, Placeholder_DrawGradientMesh)() PURE;              // 103
    STDMETHOD_(void, Placeholder_DrawGdiMetafile)() PURE;               // 104
    STDMETHOD_(void, Placeholder_CreateTransformedImageSource)() PURE;  // 105
};
__CRT_UUID_DECL(ID2D1DeviceContext2, 0x394ea6a3, 0x0c34, 0x4321, 0x95, 0x0b, 0x6c, 0xa2, 0x0f, 0x0b, 0xe6, 0xc7)

interface ID2D1DeviceContext3 : public ID2D1DeviceContext2 {
    STDMETHOD_(void, Placeholder_CreateSpriteBatch)() PURE;  // 106
    STDMETHOD_(void, Placeholder_DrawSpriteBatch)() PURE;    // 107
};
__CRT_UUID_DECL(ID2D1DeviceContext3, 0x235a7496, 0x8351, 0x414c, 0xbc, 0xd4, 0x66, 0x72, 0xab, 0x2d, 0x8e, 0x00)

interface ID2D1DeviceContext4 : public ID2D1DeviceContext3 {
    STDMETHOD_(void, Placeholder_CreateSvgGlyphStyle)() PURE;       // 108
    STDMETHOD_(void, Placeholder_DrawText)() PURE;                  // 109
    STDMETHOD_(void, Placeholder_DrawTextLayout)() PURE;            // 110
    STDMETHOD_(void, Placeholder_DrawColorBitmapGlyphRun)() PURE;   // 111
    STDMETHOD_(void, Placeholder_DrawSvgGlyphRun)() PURE;           // 112
    STDMETHOD_(void, Placeholder_GetColorBitmapGlyphImage)() PURE;  // 113
    STDMETHOD_(void, Placeholder_GetSvgGlyphImage)() PURE;          // 114
};
__CRT_UUID_DECL(ID2D1DeviceContext4, 0x8c427831, 0x3d90, 0x4476, 0xb6, 0x47, 0xc4, 0xfa, 0xe3, 0x49, 0xe4, 0xdb)

interface ID2D1DeviceContext5 : public ID2D1DeviceContext4 {
    // 115: parses the SVG document in the stream; its viewBox is mapped onto the
    // viewport of the given size.
    STDMETHOD(CreateSvgDocument)(IStream* inputXmlStream, D2D1_SIZE_F viewportSize,
                                 ID2D1SvgDocument** svgDocument) PURE;
    // 116
    STDMETHOD_(void, DrawSvgDocument)(ID2D1SvgDocument* svgDocument) PURE;
    STDMETHOD_(void, Placeholder_CreateColorContextFromDxgiColorSpace)() PURE;      // 117
    STDMETHOD_(void, Placeholder_CreateColorContextFromSimpleColorProfile)() PURE;  // 118
};
__CRT_UUID_DECL(ID2D1DeviceContext5, 0x7836d248, 0x68cc, 0x4df6, 0xb9, 0xe8, 0xde, 0x99, 0x1b, 0xf6, 0x2e, 0xb7)

// --- Media Foundation ---------------------------------------------------------
// MFCreateMFByteStreamOnStream: exported by libmfplat.a, declared by no MinGW-w64
// header. A Media Foundation byte stream that reads (and writes) the IStream.
struct IMFByteStream;
extern "C" HRESULT WINAPI MFCreateMFByteStreamOnStream(IStream* stream, IMFByteStream** byteStream);
