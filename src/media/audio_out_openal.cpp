// Audio output on OpenAL Soft.
//
// Maps: the engine holds the device and its one context; the mastering voice is
// the default device, asked for a 10 ms mixing period (OpenAL Soft 1.19 keeps its
// own, about 23 ms, so its position moves in steps of that size); a source voice
// is one OpenAL source with one buffer. A submit
// uploads the buffer's frames into the OpenAL buffer (skipped when the same memory
// is submitted again), attaches it and sets AL_SAMPLE_OFFSET to PlayBegin. Stop
// pauses the source, Start plays it, the volume is AL_GAIN. The played count is a
// running total: the frames played from earlier buffers plus the distance from
// PlayBegin to the source's AL_SAMPLE_OFFSET in the current one (the whole rest
// of it once the source has played to its end). Between two steps of the mixer's
// position the count is carried forward at the sample rate by a monotonic clock,
// never beyond one step past the last position and never backwards, so a clock
// read every frame moves smoothly instead of in 23 ms stairs.
// Cannot: queue a second buffer behind a playing one; play other than 1 or 2
// channels (MP3 has no others).
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "host/errors.h"
#include "media/audio_out.h"

namespace velk::audio {

struct MasteringVoice {};

struct Engine {
    ALCdevice* Device = nullptr;
    ALCcontext* Context = nullptr;
    MasteringVoice Master;
};

struct SourceVoice {
    ALuint Source = 0;
    ALuint Buffer = 0;
    ALenum Format = 0;
    ALsizei SampleRate = 0;
    uint32_t FrameBytes = 0;
    bool Running = false;   // started and not stopped since
    bool Attached = false;  // a buffer is queued
    bool Played = false;    // alSourcePlay was issued for the queued buffer
    uint32_t Begin = 0;     // PlayBegin of the queued buffer
    uint32_t Frames = 0;    // frames of the queued buffer
    uint64_t Earlier = 0;   // frames played from buffers flushed before
    const uint8_t* UploadedData = nullptr;
    uint32_t UploadedBytes = 0;
    // Smoothing between the mixer's position steps.
    uint64_t LastRaw = 0;        // last raw count read
    uint64_t LargestStep = 0;    // largest raw step seen while playing
    uint64_t LastReported = 0;   // the count returned last
    std::chrono::steady_clock::time_point RawSince{};  // when LastRaw was first read
};

namespace {

[[noreturn]] void Fail(const std::string& call, int32_t code, const std::string& reason) {
    throw ComException(call + " failed: " + HResultText(code) + ": " + reason, code);
}

std::string AlcReason(ALCdevice* device) {
    ALCenum e = alcGetError(device);
    const ALCchar* s = alcGetString(device, e);
    return s ? s : "error " + std::to_string(e);
}

std::string AlReason(ALenum e) {
    const ALchar* s = alGetString(e);
    return s ? s : "error " + std::to_string(e);
}

ALint State(const SourceVoice* v) {
    ALint state = AL_INITIAL;
    alGetSourcei(v->Source, AL_SOURCE_STATE, &state);
    return state;
}

// Frames played from the queued buffer, counted from its PlayBegin.
uint64_t PlayedOfCurrent(const SourceVoice* v) {
    if (!v->Attached || !v->Played) return 0;
    ALint state = State(v);
    if (state == AL_STOPPED) return v->Frames - v->Begin;  // played to its end
    if (state == AL_INITIAL) return 0;
    ALint offset = 0;
    alGetSourcei(v->Source, AL_SAMPLE_OFFSET, &offset);
    return offset > static_cast<ALint>(v->Begin) ? static_cast<uint64_t>(offset - v->Begin) : 0;
}

void PlayIfStartable(SourceVoice* v) {
    ALint state = State(v);
    if (state == AL_INITIAL || state == AL_PAUSED) {
        alSourcePlay(v->Source);
        v->Played = true;
    }
}

}  // namespace

Engine* CreateEngine() { return new Engine(); }

MasteringVoice* CreateMasteringVoice(Engine* engine) {
    engine->Device = alcOpenDevice(nullptr);
    if (!engine->Device) Fail("alcOpenDevice", hr::E_FAIL_, "no audio output device could be opened");
    const ALCint attributes[] = {ALC_REFRESH, 100, 0};
    engine->Context = alcCreateContext(engine->Device, attributes);
    if (!engine->Context) Fail("alcCreateContext", hr::E_FAIL_, AlcReason(engine->Device));
    if (!alcMakeContextCurrent(engine->Context)) Fail("alcMakeContextCurrent", hr::E_FAIL_, AlcReason(engine->Device));
    return &engine->Master;
}

SourceVoice* CreateSourceVoice(Engine* engine, const PcmFormat& format) {
    if (!engine->Context) Fail("alGenSources", hr::E_FAIL_, "no audio output device is open");
    ALenum alFormat = format.Channels == 1 ? AL_FORMAT_MONO16 : format.Channels == 2 ? AL_FORMAT_STEREO16 : 0;
    if (!alFormat || format.SampleRate <= 0)
        Fail("alBufferData", hr::E_INVALIDARG_,
             "16-bit PCM with " + std::to_string(format.Channels) + " channels at " +
                 std::to_string(format.SampleRate) + " Hz cannot be played (1 or 2 channels only)");
    auto* v = new SourceVoice();
    v->Format = alFormat;
    v->SampleRate = format.SampleRate;
    v->FrameBytes = static_cast<uint32_t>(format.Channels) * 2;
    alGetError();
    alGenSources(1, &v->Source);
    if (ALenum e = alGetError(); e != AL_NO_ERROR) {
        delete v;
        Fail("alGenSources", hr::E_FAIL_, AlReason(e));
    }
    alGenBuffers(1, &v->Buffer);
    if (ALenum e = alGetError(); e != AL_NO_ERROR) {
        alDeleteSources(1, &v->Source);
        delete v;
        Fail("alGenBuffers", hr::E_FAIL_, AlReason(e));
    }
    // Played as it is: no 3D placement, channels straight to the output's.
    alSourcei(v->Source, AL_SOURCE_RELATIVE, AL_TRUE);
    alSource3f(v->Source, AL_POSITION, 0.0f, 0.0f, 0.0f);
    alSourcei(v->Source, AL_LOOPING, AL_FALSE);
    if (alIsExtensionPresent("AL_SOFT_direct_channels")) alSourcei(v->Source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
    alGetError();
    return v;
}

void Stop(SourceVoice* v) {
    v->Running = false;
    if (v->Attached && State(v) == AL_PLAYING) alSourcePause(v->Source);
}

void FlushSourceBuffers(SourceVoice* v) {
    if (!v->Attached) return;
    v->Earlier += PlayedOfCurrent(v);
    alSourceStop(v->Source);
    alSourcei(v->Source, AL_BUFFER, 0);
    v->Attached = false;
    v->Played = false;
}

bool SubmitSourceBuffer(SourceVoice* v, const Buffer& buffer) {
    if (v->Attached) return false;
    uint32_t frames = buffer.AudioBytes / v->FrameBytes;
    if (!buffer.AudioData || buffer.PlayBegin >= frames) return false;
    alGetError();
    if (buffer.AudioData != v->UploadedData || buffer.AudioBytes != v->UploadedBytes) {
        v->UploadedData = nullptr;
        alBufferData(v->Buffer, v->Format, buffer.AudioData, static_cast<ALsizei>(frames * v->FrameBytes),
                     v->SampleRate);
        if (alGetError() != AL_NO_ERROR) return false;
        v->UploadedData = buffer.AudioData;
        v->UploadedBytes = buffer.AudioBytes;
    }
    alSourcei(v->Source, AL_BUFFER, static_cast<ALint>(v->Buffer));
    alSourceRewind(v->Source);  // initial state: the offset below applies when it plays
    alSourcei(v->Source, AL_SAMPLE_OFFSET, static_cast<ALint>(buffer.PlayBegin));
    if (alGetError() != AL_NO_ERROR) {
        alSourcei(v->Source, AL_BUFFER, 0);
        return false;
    }
    v->Attached = true;
    v->Played = false;
    v->Begin = buffer.PlayBegin;
    v->Frames = frames;
    if (v->Running) PlayIfStartable(v);
    return true;
}

void Start(SourceVoice* v) {
    v->Running = true;
    if (v->Attached) PlayIfStartable(v);
}

void SetVolume(SourceVoice* v, float volume) { alSourcef(v->Source, AL_GAIN, volume); }

uint64_t SamplesPlayed(SourceVoice* v) {
    uint64_t raw = v->Earlier + PlayedOfCurrent(v);
    auto now = std::chrono::steady_clock::now();
    bool playing = v->Attached && v->Played && State(v) == AL_PLAYING;
    if (raw != v->LastRaw) {
        if (playing && raw > v->LastRaw) v->LargestStep = std::max(v->LargestStep, raw - v->LastRaw);
        v->LastRaw = raw;
        v->RawSince = now;
    }
    uint64_t estimate = raw;
    if (playing && v->LargestStep > 0) {
        double elapsed = std::chrono::duration<double>(now - v->RawSince).count();
        uint64_t ahead = static_cast<uint64_t>(elapsed * v->SampleRate);
        estimate = raw + std::min(ahead, v->LargestStep);
    }
    v->LastReported = std::max(v->LastReported, estimate);
    return v->LastReported;
}

void DestroyVoice(SourceVoice* v) {
    if (!v) return;
    alSourceStop(v->Source);
    alSourcei(v->Source, AL_BUFFER, 0);
    alDeleteSources(1, &v->Source);
    alDeleteBuffers(1, &v->Buffer);
    delete v;
}

void Release(Engine* engine) {
    if (!engine) return;
    if (engine->Context) {
        if (alcGetCurrentContext() == engine->Context) alcMakeContextCurrent(nullptr);
        alcDestroyContext(engine->Context);
    }
    if (engine->Device) alcCloseDevice(engine->Device);
    delete engine;
}

}  // namespace velk::audio
