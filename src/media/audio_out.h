// Audio output: an engine on the default device and voices that play 16-bit PCM
// from memory.
//
// The shape is that of a voice-based mixer: an engine, one mastering voice (the
// output on the default device) and source voices that play queued buffers. A
// source voice here plays one buffer at a time, from a start frame to the end of
// the buffer; it mixes on the engine's own thread, which reads the buffer's memory
// until the voice is flushed or destroyed. Handles are opaque; every operation is
// called from one thread.
//
// Creation raises ComException with the reason (no audio device, no voice);
// playback control never raises.
#pragma once

#include <cstdint>
#include <memory>

namespace velk::audio {

struct Engine;
struct MasteringVoice;
struct SourceVoice;

// Interleaved signed 16-bit PCM.
struct PcmFormat {
    int32_t SampleRate = 0;
    int32_t Channels = 0;
};

struct Buffer {
    const uint8_t* AudioData = nullptr;  // read in place until the voice is flushed or destroyed
    uint32_t AudioBytes = 0;             // whole frames are played; a trailing partial frame is not
    uint32_t PlayBegin = 0;              // first frame to play
};

Engine* CreateEngine();
// The output on the default audio device; released with the engine.
MasteringVoice* CreateMasteringVoice(Engine* engine);
// A stopped voice with nothing queued that plays the format through the mastering voice.
SourceVoice* CreateSourceVoice(Engine* engine, const PcmFormat& format);

// Playback stops where it is; Start goes on from there.
void Stop(SourceVoice* voice);
// Removes the queued buffer; the voice no longer reads its memory.
void FlushSourceBuffers(SourceVoice* voice);
// Queues a buffer when none is queued (returns false otherwise).
bool SubmitSourceBuffer(SourceVoice* voice, const Buffer& buffer);
// Playback runs (plays the queued buffer, if any).
void Start(SourceVoice* voice);
// Linear amplitude gain in [0, 1].
void SetVolume(SourceVoice* voice, float volume);
// Frames played by the voice since its creation: rises by one per frame played
// and is never lowered by stopping, flushing, submitting or starting.
uint64_t SamplesPlayed(SourceVoice* voice);
// Stops the voice and releases it; it no longer reads any buffer.
void DestroyVoice(SourceVoice* voice);
// Releases the engine, its mastering voice and the device.
void Release(Engine* engine);

// Owning handles: the voice destroyed, the engine released, when the handle goes,
// so that a creation that raises halfway leaves nothing behind.
struct DestroyVoiceOnRelease {
    void operator()(SourceVoice* voice) const { DestroyVoice(voice); }
};
struct ReleaseEngineOnRelease {
    void operator()(Engine* engine) const { Release(engine); }
};
using SourceVoiceHandle = std::unique_ptr<SourceVoice, DestroyVoiceOnRelease>;
using EngineHandle = std::unique_ptr<Engine, ReleaseEngineOnRelease>;

}  // namespace velk::audio
