#include "media/music.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "host/content.h"
#include "host/errors.h"
#include "host/text.h"
#include "media/mp3.h"

namespace velk {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// A double to a 64-bit integer, truncating toward zero: NaN gives 0, values at or
// beyond the range give its ends.
int64_t ToInt64Saturating(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

}  // namespace

// --- Decoding ---

Music::Decoded Music::MakeBlock(const std::vector<uint8_t>& delivered, int32_t sampleRate, int32_t channels) {
    size_t l = delivered.size();
    // The silence, computed in 32-bit arithmetic as the buffer length is.
    uint32_t p = static_cast<uint32_t>(sampleRate / 10) * static_cast<uint32_t>(channels) * 2u;
    auto* block = static_cast<uint8_t*>(std::calloc(l + p, 1));
    if (!block && l + p > 0) throw OutOfMemoryException("Insufficient memory to continue the execution of the program.");
    if (l > 0) std::memcpy(block, delivered.data(), l);
    Decoded d;
    d.Pcm = block;
    d.FrameCount = channels > 0 ? static_cast<int64_t>(l) / (2 * static_cast<int64_t>(channels)) : 0;
    d.SampleRate = sampleRate;
    d.Channels = channels;
    return d;
}

Music::Decoded Music::Decode(const std::vector<uint8_t>& mp3) {
    std::vector<uint8_t> store;
    mp3::Format format = mp3::Decode(mp3.data(), mp3.size(), store);
    return MakeBlock(store, format.SampleRate, format.Channels);
}

// --- Construction and release ---

std::unique_ptr<Music> Music::Load(std::string_view folder) {
    std::vector<std::string> names = Content::List(folder, ".mp3");
    if (names.empty()) return nullptr;
    return std::make_unique<Music>(names.front());
}

Music::Music(std::string_view name) : FadeStart(kInfinity), FadeEnd(kInfinity) {
    EndStopwatch.Reset();
    Decoded d = Decode(Content::Read(name));
    // Held by handles until the whole audio output exists: a voice that cannot be
    // made frees the PCM and releases the engine (and with it the device).
    std::unique_ptr<uint8_t, FreeDeleter> pcm(d.Pcm);
    FrameCount = d.FrameCount;
    SampleRate = d.SampleRate;
    Channels = d.Channels;

    audio::EngineHandle engine(audio::CreateEngine());
    audio::MasteringVoice* master = audio::CreateMasteringVoice(engine.get());
    audio::SourceVoiceHandle voice(audio::CreateSourceVoice(engine.get(), audio::PcmFormat{SampleRate, Channels}));

    size_t slash = name.rfind('/');
    std::string line = "Music: " + std::string(slash == std::string_view::npos ? name : name.substr(slash + 1)) +
                       ", " + text::FixedDecimals(Length(), 1) + " s, " + std::to_string(SampleRate) + " Hz, " +
                       std::to_string(Channels) + " channels\n";
    Engine = engine.release();
    MasteringVoice = master;
    SourceVoice = voice.release();
    Pcm = pcm.release();
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

Music::~Music() { Dispose(); }

void Music::Dispose() {
    if (SourceVoice) {
        audio::Stop(SourceVoice);
        audio::DestroyVoice(SourceVoice);
        SourceVoice = nullptr;
    }
    if (Engine) {
        audio::Release(Engine);  // the mastering voice goes with it
        Engine = nullptr;
        MasteringVoice = nullptr;
    }
    if (Pcm) {
        std::free(Pcm);  // only now that no voice reads it
        Pcm = nullptr;
    }
}

// --- Playback and clock ---

uint32_t Music::BufferBytes() const {
    // Whole frames of the track plus the 100 ms of silence, in 32-bit arithmetic.
    uint32_t frames = static_cast<uint32_t>(FrameCount) + static_cast<uint32_t>(SampleRate / 10);
    return static_cast<uint32_t>(Channels) * 2u * frames;
}

void Music::Play(double startSeconds) {
    audio::Stop(SourceVoice);
    audio::FlushSourceBuffers(SourceVoice);
    Ended = false;
    EndStopwatch.Reset();
    int64_t s = ToInt64Saturating(static_cast<double>(SampleRate) * startSeconds);
    int64_t startFrame = s < 0 ? 0 : (s > FrameCount ? FrameCount : s);
    SamplesAtStart = audio::SamplesPlayed(SourceVoice);
    StartSeconds = static_cast<double>(startFrame) / static_cast<double>(SampleRate);
    if (startFrame < FrameCount) {
        audio::Buffer buffer;
        buffer.AudioData = Pcm;
        buffer.AudioBytes = BufferBytes();
        buffer.PlayBegin = static_cast<uint32_t>(startFrame);
        audio::SubmitSourceBuffer(SourceVoice, buffer);
    }
    audio::Start(SourceVoice);
}

double Music::Seconds() {
    if (!Ended) {
        uint64_t d = audio::SamplesPlayed(SourceVoice) - SamplesAtStart;
        double t = StartSeconds + static_cast<double>(d) / static_cast<double>(SampleRate);
        if (t < Length()) return t;
        Ended = true;
    }
    if (!EndStopwatch.Running) EndStopwatch.Start();
    return Length() + EndStopwatch.ElapsedSeconds();
}

void Music::Stopwatch::Start() {
    if (Running) return;
    StartCount = platform::PerformanceCounter();
    Running = true;
}

double Music::Stopwatch::ElapsedSeconds() const {
    static const int64_t frequency = platform::PerformanceFrequency();
    int64_t count = Accumulated + (Running ? platform::PerformanceCounter() - StartCount : 0);
    return Clock::ElapsedSeconds(count, frequency);
}

// --- Fade and samples ---

float Music::FadeGain(double t) const {
    if (t <= FadeStart) return 1.0f;
    double c = 1.0;
    if (FadeEnd > FadeStart) {
        double x = (t - FadeStart) / (FadeEnd - FadeStart);
        // Clamped to [0, 1]; not-a-number (an infinite time over an infinite
        // window) counts as the fade's beginning, so the gain stays in [0, 1].
        c = x > 0.0 ? (x < 1.0 ? x : 1.0) : 0.0;
    }
    double g = (1.0 - c) * (1.0 - c);
    return static_cast<float>(g);
}

void Music::Update() { audio::SetVolume(SourceVoice, FadeGain(Seconds())); }

Music::PcmView Music::GetPcm(int64_t firstFrame, int64_t frameCount) const {
    int64_t a = firstFrame < 0 ? 0 : (firstFrame > FrameCount ? FrameCount : firstFrame);
    int64_t room = FrameCount - a;
    int64_t n = frameCount < 0 ? 0 : (frameCount > room ? room : frameCount);
    int64_t frameBytes = static_cast<int64_t>(Channels) * 2;
    // The view's length is 32-bit: a longer request gets the whole frames that fit.
    int64_t maxFrames = std::numeric_limits<int32_t>::max() / (frameBytes > 0 ? frameBytes : 1);
    if (n > maxFrames) n = maxFrames;
    PcmView v;
    v.Data = Pcm + a * frameBytes;
    v.Length = static_cast<int32_t>(n * frameBytes);
    return v;
}

}  // namespace velk
