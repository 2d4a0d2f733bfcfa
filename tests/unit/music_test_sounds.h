// Test sounds: sine tones written as WAV files and encoded to MP3 with lame.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velk::testing {

// Interleaved 16-bit samples: channel c is a sine of 440 × (c + 1) Hz at half scale.
inline std::vector<int16_t> SineFrames(int rate, int channels, int frames) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[static_cast<size_t>(i) * channels + c] =
                static_cast<int16_t>(16000.0 * std::sin(2.0 * 3.14159265358979323846 * 440.0 * (c + 1) * i / rate));
    return s;
}

inline void WriteWav(const std::filesystem::path& path, int rate, int channels, const std::vector<int16_t>& s) {
    auto u32 = [](std::ofstream& f, uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::ofstream& f, uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    uint32_t data = static_cast<uint32_t>(s.size() * 2);
    std::ofstream f(path, std::ios::binary);
    f.write("RIFF", 4);
    u32(f, 36 + data);
    f.write("WAVEfmt ", 8);
    u32(f, 16);
    u16(f, 1);
    u16(f, static_cast<uint16_t>(channels));
    u32(f, static_cast<uint32_t>(rate));
    u32(f, static_cast<uint32_t>(rate * channels * 2));
    u16(f, static_cast<uint16_t>(channels * 2));
    u16(f, 16);
    f.write("data", 4);
    u32(f, data);
    f.write(reinterpret_cast<const char*>(s.data()), data);
}

// Encodes the sine tone of SineFrames into an MP3 file at `path` with lame, at a
// bitrate whose first frame holds the encoder's tag with the delay and padding
// (lame leaves the tag out of frames too small for it, as at 16 kbps).
inline void MakeMp3(const std::filesystem::path& path, int rate, int channels, int frames) {
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::path wav = path;
    wav += ".wav";
    WriteWav(wav, rate, channels, SineFrames(rate, channels, frames));
    std::string cmd = "lame --quiet -b 128 '" + wav.string() + "' '" + path.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("lame failed: " + cmd);
    std::filesystem::remove(wav);
}

inline std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Plays on OpenAL's null device unless the environment names another.
inline void UseNullAudioDeviceByDefault() {
#ifdef _WIN32
    if (!std::getenv("ALSOFT_DRIVERS")) _putenv_s("ALSOFT_DRIVERS", "null");
#else
    setenv("ALSOFT_DRIVERS", "null", 0);
#endif
}

// A temporary directory, removed with everything in it.
struct TempDir {
    std::filesystem::path Root;
    explicit TempDir(const std::string& tag) {
        Root = std::filesystem::temp_directory_path() /
               ("velk-" + tag + "-" + std::to_string(::getpid()) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(Root);
    }
    ~TempDir() { std::filesystem::remove_all(Root); }
};

}  // namespace velk::testing
