// Audio output on XAudio2, loaded at run time.
//
// Maps: the engine is the IXAudio2 of the first of xaudio2_9.dll, xaudio2_8.dll
// and xaudio2_9redist.dll that loads (by file name, the standard search order),
// made by its XAudio2Create export on processor 1; the mastering voice is the
// default device's, in the category of game effects; a source voice is an
// IXAudio2SourceVoice without callback that sends to the mastering voice. The
// played count is the voice's SamplesPlayed, which XAudio2 keeps as a running
// total since the voice's creation, as no buffer carries the end-of-stream flag.
// Stop, FlushSourceBuffers, SubmitSourceBuffer, Start and SetVolume go straight
// to the voice and report nothing. A buffer that starts past its first frame is
// queued with the length of its rest as its play region (XAudio2 takes a region
// of length 0 as the whole buffer, and only from frame 0).
// Differs: XAudio2 queues a submitted buffer behind one that is still queued
// instead of refusing it; SubmitSourceBuffer returns false only for a start frame
// at or past the buffer's last whole frame, and when XAudio2 refuses the buffer.
// The library stays loaded for the rest of the process.
#include <windows.h>
#include <xaudio2.h>

#include <string>

#include "host/errors.h"
#include "media/audio_out.h"
#include "media/audio_out_xaudio2_windows.h"

namespace velk::audio {

struct MasteringVoice {
    IXAudio2MasteringVoice* Voice = nullptr;
};

struct Engine {
    IXAudio2* XAudio2 = nullptr;
    MasteringVoice Master;
};

struct SourceVoice {
    IXAudio2SourceVoice* Voice = nullptr;
    uint32_t FrameBytes = 0;  // the format's block alignment
};

namespace {

// XAudio2Create(engine, flags, processor); the processor is passed as its value,
// since the headers of the XAudio2 versions name different defaults.
using XAudio2CreateFunction = HRESULT(WINAPI*)(IXAudio2** engine, UINT32 flags, UINT32 processor);
constexpr UINT32 kProcessor1 = 1;
constexpr UINT32 kDefaultChannels = 0;    // XAUDIO2_DEFAULT_CHANNELS
constexpr UINT32 kDefaultSampleRate = 0;  // XAUDIO2_DEFAULT_SAMPLERATE
constexpr UINT32 kCommitNow = 0;          // XAUDIO2_COMMIT_NOW
constexpr AUDIO_STREAM_CATEGORY kGameEffects = static_cast<AUDIO_STREAM_CATEGORY>(6);  // AudioCategory_GameEffects

XAudio2CreateFunction LoadXAudio2() {
    const wchar_t* const names[] = {L"xaudio2_9.dll", L"xaudio2_8.dll", L"xaudio2_9redist.dll"};
    DWORD lastError = ERROR_MOD_NOT_FOUND;
    for (const wchar_t* name : names) {
        HMODULE module = LoadLibraryW(name);
        if (!module) {
            lastError = GetLastError();
            continue;
        }
        auto create = reinterpret_cast<XAudio2CreateFunction>(
            reinterpret_cast<void*>(GetProcAddress(module, "XAudio2Create")));
        if (!create) {
            int32_t code = HRESULT_FROM_WIN32(GetLastError());
            ThrowIfFailed(code < 0 ? code : hr::E_FAIL_, "GetProcAddress(XAudio2Create)",
                          "the XAudio2 library has no XAudio2Create");
        }
        return create;
    }
    int32_t code = HRESULT_FROM_WIN32(lastError);
    ThrowIfFailed(code < 0 ? code : hr::E_FAIL_, "LoadLibrary",
                  "no XAudio2 library loads (xaudio2_9.dll, xaudio2_8.dll, xaudio2_9redist.dll)");
    return nullptr;  // not reached
}

}  // namespace

Engine* CreateEngine() {
    XAudio2CreateFunction create = LoadXAudio2();
    IXAudio2* xaudio2 = nullptr;
    ThrowIfFailed(create(&xaudio2, 0, kProcessor1), "XAudio2Create");
    auto* engine = new Engine();
    engine->XAudio2 = xaudio2;
    return engine;
}

MasteringVoice* CreateMasteringVoice(Engine* engine) {
    IXAudio2MasteringVoice* voice = nullptr;
    ThrowIfFailed(engine->XAudio2->CreateMasteringVoice(&voice, kDefaultChannels, kDefaultSampleRate, 0, nullptr,
                                                        nullptr, kGameEffects),
                  "IXAudio2::CreateMasteringVoice");
    engine->Master.Voice = voice;
    return &engine->Master;
}

SourceVoice* CreateSourceVoice(Engine* engine, const PcmFormat& format) {
    WAVEFORMATEX wave = {};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = static_cast<WORD>(format.Channels);
    wave.nSamplesPerSec = static_cast<DWORD>(format.SampleRate);
    wave.nAvgBytesPerSec = static_cast<DWORD>(format.SampleRate * format.Channels * 2);
    wave.nBlockAlign = static_cast<WORD>(format.Channels * 2);
    wave.wBitsPerSample = 16;
    wave.cbSize = 0;
    IXAudio2SourceVoice* voice = nullptr;
    ThrowIfFailed(engine->XAudio2->CreateSourceVoice(&voice, &wave, 0, 1.0f, nullptr, nullptr, nullptr),
                  "IXAudio2::CreateSourceVoice");
    auto* source = new SourceVoice();
    source->Voice = voice;
    source->FrameBytes = wave.nBlockAlign;
    return source;
}

void Stop(SourceVoice* voice) { voice->Voice->Stop(0, kCommitNow); }

void FlushSourceBuffers(SourceVoice* voice) { voice->Voice->FlushSourceBuffers(); }

std::optional<XAUDIO2_BUFFER> DescribeBuffer(const Buffer& buffer, uint32_t frameBytes) {
    const uint32_t frames = frameBytes ? buffer.AudioBytes / frameBytes : 0;
    if (buffer.PlayBegin >= frames) return std::nullopt;
    XAUDIO2_BUFFER b = {};
    b.Flags = 0;  // no end of stream: the played count keeps running
    b.AudioBytes = buffer.AudioBytes;
    b.pAudioData = buffer.AudioData;
    b.PlayBegin = buffer.PlayBegin;
    // From frame 0, 0 plays the entire buffer; a later start names the rest.
    b.PlayLength = buffer.PlayBegin == 0 ? 0 : frames - buffer.PlayBegin;
    b.LoopBegin = 0;
    b.LoopLength = 0;
    b.LoopCount = 0;
    b.pContext = nullptr;
    return b;
}

bool SubmitSourceBuffer(SourceVoice* voice, const Buffer& buffer) {
    std::optional<XAUDIO2_BUFFER> b = DescribeBuffer(buffer, voice->FrameBytes);
    if (!b) return false;
    return SUCCEEDED(voice->Voice->SubmitSourceBuffer(&*b, nullptr));
}

void Start(SourceVoice* voice) { voice->Voice->Start(0, kCommitNow); }

void SetVolume(SourceVoice* voice, float volume) { voice->Voice->SetVolume(volume, kCommitNow); }

uint64_t SamplesPlayed(SourceVoice* voice) {
    XAUDIO2_VOICE_STATE state = {};
    voice->Voice->GetState(&state, 0);
    return state.SamplesPlayed;
}

void DestroyVoice(SourceVoice* voice) {
    if (!voice) return;
    voice->Voice->DestroyVoice();
    delete voice;
}

void Release(Engine* engine) {
    if (!engine) return;
    // The mastering voice goes with the engine: it gets no DestroyVoice of its own.
    engine->XAudio2->Release();
    delete engine;
}

}  // namespace velk::audio
