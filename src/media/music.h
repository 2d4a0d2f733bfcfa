// The soundtrack at run time: decoded once, played as one buffer, and the demo's
// clock.
//
// The MP3 asset is decoded at construction into one block of interleaved 16-bit
// PCM followed by 100 ms of silence. Playing hands the whole block to the audio
// output as a single buffer from a start frame. As a clock, the music reports the
// audio position; once that reaches the track's end, the track's length plus a
// stopwatch, so that time keeps running. It also owns the closing fade, a gain
// curve between FadeStart and FadeEnd, which Update applies to the playing voice
// and the recorder applies to the samples it reads with GetPcm.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "host/clock.h"
#include "media/audio_out.h"

namespace velk {

class Music : public IClock {
public:
    // What Decode returns: the block (calloc'd, the caller frees it with free),
    // the whole frames decoded (silence not counted), the rate and channel count.
    struct Decoded {
        uint8_t* Pcm = nullptr;
        int64_t FrameCount = 0;
        int32_t SampleRate = 0;
        int32_t Channels = 0;
    };

    // A read-only view of PCM bytes inside the music's block; valid until Dispose.
    struct PcmView {
        const uint8_t* Data = nullptr;
        int32_t Length = 0;  // bytes
        bool empty() const { return Length == 0; }
    };

    // The music for the first ".mp3" of the asset folder (lowest name in ordinal
    // order), or none when the folder has none.
    static std::unique_ptr<Music> Load(std::string_view folder);

    // Decodes the asset, creates the audio engine and voices, and prints the
    // "Music: " line. The voice is left stopped with nothing queued.
    explicit Music(std::string_view name);
    ~Music() override;
    Music(const Music&) = delete;
    Music& operator=(const Music&) = delete;

    // Starts playback at that position (clamped to the track; NaN gives 0).
    void Play(double startSeconds);
    // The demo time: the audio position, after the track's end its length plus a stopwatch.
    double Seconds() override;
    // Gain in [0, 1] at time t: 1 up to FadeStart, falling as (1 - c)^2 to 0 at FadeEnd.
    float FadeGain(double t) const;
    // Sets the voice's volume to the fade gain of the current time.
    void Update();
    // The bytes of frames [firstFrame, firstFrame + frameCount), both clamped to the
    // track; the silence after the track is never part of a view.
    PcmView GetPcm(int64_t firstFrame, int64_t frameCount) const;
    // Destroys the voice, releases the engine, then frees the PCM. Nothing may be
    // called afterwards (a second call does nothing).
    void Dispose();

    // The whole MP3 to PCM in one block of exactly L + P bytes: the L decoded bytes,
    // then P = (rate / 10) x channels x 2 zero bytes.
    static Decoded Decode(const std::vector<uint8_t>& mp3);
    // The block made from the bytes a decoder delivered (the second half of Decode).
    static Decoded MakeBlock(const std::vector<uint8_t>& delivered, int32_t sampleRate, int32_t channels);

    // The track length in seconds: FrameCount / SampleRate.
    double Length() const { return static_cast<double>(FrameCount) / static_cast<double>(SampleRate); }

    // Set by the host from the shader's end times; +infinity until then.
    double FadeStart;
    double FadeEnd;
    // The decoded sound (read by the recorder).
    int64_t FrameCount = 0;
    int32_t SampleRate = 0;
    int32_t Channels = 0;

private:
    // Time after the track's end, over the monotonic high-resolution counter.
    struct Stopwatch {
        bool Running = false;
        int64_t StartCount = 0;
        int64_t Accumulated = 0;
        void Reset() { *this = Stopwatch(); }
        void Start();
        double ElapsedSeconds() const;  // in whole 100 ns units
    };

    uint32_t BufferBytes() const;

    audio::Engine* Engine = nullptr;
    audio::MasteringVoice* MasteringVoice = nullptr;
    audio::SourceVoice* SourceVoice = nullptr;
    Stopwatch EndStopwatch;
    uint8_t* Pcm = nullptr;
    double StartSeconds = 0;
    uint64_t SamplesAtStart = 0;
    bool Ended = false;
};

}  // namespace velk
