// The byte stream that the Media Foundation MP3 decoder hands to its source reader,
// made apart so that the Windows tests can look at it. Windows-only.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

namespace velk::mp3 {

// A Media Foundation byte stream reading `stream`, whose attributes carry the
// content type "audio/mpeg": the source resolver picks its byte-stream handler by
// a URL's extension or by that type, and the reader is given no URL. Media
// Foundation must be started. Raises ComException when a call fails.
Microsoft::WRL::ComPtr<IMFByteStream> MakeByteStream(IStream* stream);

}  // namespace velk::mp3
