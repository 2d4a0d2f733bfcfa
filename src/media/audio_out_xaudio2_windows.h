// The buffer description that the XAudio2 audio output queues, made apart so that
// the Windows tests can look at it. Windows-only.
#pragma once

#include <windows.h>
#include <xaudio2.h>

#include <cstdint>
#include <optional>

#include "media/audio_out.h"

namespace velk::audio {

// The XAUDIO2_BUFFER queued for `buffer` on a voice whose frames are `frameBytes`
// bytes: no loop, no end-of-stream flag, played from PlayBegin to the last whole
// frame. XAudio2 reads a PlayLength of 0 as "the entire buffer" and then requires
// PlayBegin to be 0, so a later start gives the length of the rest explicitly.
// None when no whole frame lies at or after PlayBegin: there is nothing to play.
std::optional<XAUDIO2_BUFFER> DescribeBuffer(const Buffer& buffer, uint32_t frameBytes);

}  // namespace velk::audio
