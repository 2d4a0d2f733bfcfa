// The video writer layer end to end: short synthetic clips written through the
// sink-writer calls and read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#include "command_output.h"
#include "host/errors.h"
#include "media/video_writer.h"
#include "video_writer_fixtures.h"

using namespace velk;
using namespace velk::video;
using namespace velk::video::test;

namespace {

// A fresh folder for this run's clips, removed at exit.
std::string TempPath(const std::string& name) {
    static const std::string* dir = [] {
        std::string pattern = std::string(VELK_BINARY_DIR) + "/video-writer-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        const char* made = mkdtemp(buf.data());
        auto* path = new std::string(made ? made : "/tmp");  // outlives the exit handler below
        if (made) std::atexit([] { std::filesystem::remove_all(*dir); });
        return path;
    }();
    return *dir + "/" + name;
}

// The streams of a file as ffprobe reports them (frames counted by decoding).
rapidjson::Document Probe(const std::string& path) {
    rapidjson::Document d;
    d.Parse(velk::test::CommandOutput("ffprobe -v error -count_frames -show_streams -show_format -of json '" + path + "'").c_str());
    return d;
}

// The R, G, B bytes of frame `index`, rows top first, decoded with BT.709 to
// full-range RGB.
std::string FrameRgb(const std::string& path, int index) {
    return velk::test::CommandOutput("ffmpeg -v error -i '" + path + "' -vf \"select=eq(n\\," + std::to_string(index) +
                                     "),scale=in_color_matrix=bt709:in_range=tv:out_range=pc,format=rgb24\""
                                     " -frames:v 1 -f rawvideo -");
}

// A frame whose top half is `top` and bottom half `bottom` (B, G, R bytes).
std::vector<uint8_t> TwoTone(int w, int h, const uint8_t top[3], const uint8_t bottom[3]) {
    std::vector<uint8_t> px(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* c = y < h / 2 ? top : bottom;
            uint8_t* p = &px[(size_t(y) * w + x) * 4];
            p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 0x7F;  // the fourth byte is ignored
        }
    return px;
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ComException& e) {
        EXPECT_LT(e.Code(), 0);
        return e.what();
    }
    return "(no error)";
}

}  // namespace

// One second at 30 fps with stereo sound fed in chunks of uneven lengths: the file
// has both streams with the right sizes, rates and lengths, and the picture's
// quadrants arrive in their places (rows top first) in the colours given.
TEST(VideoWriter, WritesH264AndAacThatPlayBack) {
    const int w = 320, h = 180, fps = 30, rate = 48000;
    std::string path = TempPath("clip.mp4");
    Startup();
    auto writer = CreateSinkWriterFromURL(path, nullptr);
    auto vout = VideoOut(w, h, fps), vin = VideoIn(w, h, fps);
    uint32_t video = writer->AddStream(*vout);
    writer->SetInputMediaType(video, *vin);
    auto aout = AudioType(true, rate, 2), ain = AudioType(false, rate, 2);
    uint32_t audio = writer->AddStream(*aout);
    writer->SetInputMediaType(audio, *ain);
    EXPECT_EQ(video, 0u);
    EXPECT_EQ(audio, 1u);
    writer->BeginWriting();

    std::vector<uint8_t> frame = QuadrantFrame(w, h);
    // Chunks of 1, 1599, 777, ... sample frames that add up to exactly one second.
    std::vector<int> chunks = {1, 1599, 777, 3000, 23, 1024, 1025};
    int total = 0;
    for (int c : chunks) total += c;
    chunks.push_back(rate - total);
    int64_t next = 0;
    size_t chunk = 0;
    for (int k = 0; k < fps; ++k) {
        Write(*writer, video, frame, int64_t(k) * 10000000 / fps, 10000000 / fps);
        for (int n = 0; n < 2 && chunk < chunks.size(); ++n, ++chunk) {
            std::vector<uint8_t> pcm(size_t(chunks[chunk]) * 4);
            for (int i = 0; i < chunks[chunk]; ++i) {
                int16_t v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * double(next + i) / rate));
                std::memcpy(&pcm[size_t(i) * 4], &v, 2);
                std::memcpy(&pcm[size_t(i) * 4 + 2], &v, 2);
            }
            Write(*writer, audio, pcm, next * 10000000 / rate, int64_t(chunks[chunk]) * 10000000 / rate);
            next += chunks[chunk];
        }
    }
    writer->Finalize();
    writer.reset();
    Shutdown();

    rapidjson::Document d = Probe(path);
    ASSERT_TRUE(d.IsObject() && d.HasMember("streams")) << path;
    const auto& streams = d["streams"];
    ASSERT_EQ(streams.Size(), 2u);
    const auto& v = streams[0];
    EXPECT_STREQ(v["codec_name"].GetString(), "h264");
    EXPECT_EQ(v["width"].GetInt(), w);
    EXPECT_EQ(v["height"].GetInt(), h);
    EXPECT_STREQ(v["avg_frame_rate"].GetString(), "30/1");
    EXPECT_STREQ(v["nb_read_frames"].GetString(), "30");
    EXPECT_STREQ(v["sample_aspect_ratio"].GetString(), "1:1");
    EXPECT_STREQ(v["field_order"].GetString(), "progressive");
    const auto& a = streams[1];
    EXPECT_STREQ(a["codec_name"].GetString(), "aac");
    EXPECT_STREQ(a["sample_rate"].GetString(), "48000");
    EXPECT_EQ(a["channels"].GetInt(), 2);
    EXPECT_NEAR(std::atof(a["duration"].GetString()), 1.0, 0.022);
    EXPECT_NEAR(std::atof(v["duration"].GetString()), 1.0, 0.001);

    // Each quadrant in its colour and place, in the first frame and in the last.
    for (int index : {0, 29}) {
        SCOPED_TRACE("frame " + std::to_string(index));
        std::string rgb = FrameRgb(path, index);
        ASSERT_EQ(rgb.size(), size_t(w) * h * 3);
        ExpectQuadrants(w, h, 3, [&](uint32_t x, uint32_t y) {
            const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + (size_t(y) * w + x) * 3;
            return Rgb{p[0], p[1], p[2]};
        });
    }
}

// Video alone, in the container the extension names.
TEST(VideoWriter, ContainerFollowsTheExtension) {
    for (const char* ext : {"mkv", "mov"}) {
        std::string path = TempPath(std::string("clip.") + ext);
        auto writer = CreateSinkWriterFromURL(path, nullptr);
        uint32_t video = writer->AddStream(*VideoOut(64, 36, 25));
        writer->SetInputMediaType(video, *VideoIn(64, 36, 25));
        writer->BeginWriting();
        const uint8_t c[3] = {10, 200, 30};
        for (int k = 0; k < 5; ++k) Write(*writer, video, TwoTone(64, 36, c, c), k * 400000, 400000);
        writer->Finalize();
        rapidjson::Document d = Probe(path);
        ASSERT_TRUE(d.IsObject() && d.HasMember("format")) << path;
        std::string format = d["format"]["format_name"].GetString();
        EXPECT_NE(format.find(std::string(ext) == "mkv" ? "matroska" : "mov"), std::string::npos) << format;
        ASSERT_EQ(d["streams"].Size(), 1u);
        EXPECT_STREQ(d["streams"][0]["nb_read_frames"].GetString(), "5");
    }
}

// Tiny sizes and rates, whose average bit rate is below 1 kbit/s (or 0), still
// encode: every frame is in the file at its size.
TEST(VideoWriter, TinyRecordingsEncode) {
    struct Case {
        uint32_t w, h, fps;
    };
    for (const Case& c : {Case{64, 36, 3}, Case{32, 18, 2}, Case{2, 2, 1}}) {
        std::string name = std::to_string(c.w) + "x" + std::to_string(c.h) + "@" + std::to_string(c.fps);
        std::string path = TempPath("tiny-" + name + ".mp4");
        auto writer = CreateSinkWriterFromURL(path, nullptr);
        uint32_t video = writer->AddStream(*VideoOut(c.w, c.h, c.fps));
        writer->SetInputMediaType(video, *VideoIn(c.w, c.h, c.fps));
        writer->BeginWriting();
        const uint8_t grey[3] = {90, 90, 90};
        for (uint32_t k = 0; k < 2 * c.fps; ++k)
            Write(*writer, video, TwoTone(int(c.w), int(c.h), grey, grey), int64_t(k) * 10000000 / c.fps,
                  10000000 / c.fps);
        writer->Finalize();
        rapidjson::Document d = Probe(path);
        ASSERT_TRUE(d.IsObject() && d.HasMember("streams") && d["streams"].Size() == 1u) << name;
        const auto& v = d["streams"][0];
        EXPECT_EQ(v["width"].GetUint(), c.w) << name;
        EXPECT_EQ(v["height"].GetUint(), c.h) << name;
        EXPECT_EQ(std::string(v["nb_read_frames"].GetString()), std::to_string(2 * c.fps)) << name;
    }
}

// A writer that finalises without any sample still leaves a file that can be read
// (MP4 keeps no track without samples).
TEST(VideoWriter, FinalisesWithoutSamples) {
    std::string path = TempPath("empty.mp4");
    auto writer = CreateSinkWriterFromURL(path, nullptr);
    uint32_t video = writer->AddStream(*VideoOut(320, 180, 60));
    writer->SetInputMediaType(video, *VideoIn(320, 180, 60));
    uint32_t audio = writer->AddStream(*AudioType(true, 44100, 2));
    writer->SetInputMediaType(audio, *AudioType(false, 44100, 2));
    writer->BeginWriting();
    writer->Finalize();
    rapidjson::Document d = Probe(path);
    ASSERT_TRUE(d.IsObject() && d.HasMember("format")) << path;
    EXPECT_STREQ(d["format"]["format_name"].GetString(), "mov,mp4,m4a,3gp,3g2,mj2");
}

// What the encoders or the container refuse raises at the call that sets it, with a
// reason that names it.
TEST(VideoWriter, RefusalsSayWhat) {
    struct Case {
        std::string file;
        int w, h, fps, rate, channels;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"odd.mp4", 321, 181, 30, 0, 0, "AddStream failed: 0xC00D36B4: H.264 needs an even width and height: 321x181"},
        {"zero.mp4", 0, 180, 30, 0, 0, "H.264 needs a positive width and height: 0x180"},
        {"still.mp4", 320, 180, 0, 0, 0, "H.264 needs a positive frame rate: 0"},
        {"backwards.mp4", 320, 180, -5, 0, 0, "H.264 needs a positive frame rate: -5"},
        {"rate.mp4", 320, 180, 30, 12345, 2, "AAC does not take a sample rate of 12345 Hz"},
        {"channels.mp4", 320, 180, 30, 48000, 0, "AAC takes 1 to 6 or 8 channels, not 0"},
        {"seven.mp4", 320, 180, 30, 48000, 7, "AAC takes 1 to 6 or 8 channels, not 7"},
        {"wav.wav", 320, 180, 30, 0, 0, "the wav container cannot hold H.264"},
    };
    for (const Case& c : cases) {
        std::string message = ErrorOf([&] {
            auto writer = CreateSinkWriterFromURL(TempPath(c.file), nullptr);
            writer->AddStream(*VideoOut(uint32_t(c.w), uint32_t(c.h), uint32_t(c.fps)));
            if (c.rate || c.channels) writer->AddStream(*AudioType(true, uint32_t(c.rate), uint32_t(c.channels)));
        });
        EXPECT_NE(message.find(c.expected), std::string::npos) << c.file << ": " << message;
    }
    // A video sample shorter than a frame is refused at the call.
    EXPECT_NE(ErrorOf([] {
                  auto writer = CreateSinkWriterFromURL(TempPath("short.mp4"), nullptr);
                  uint32_t video = writer->AddStream(*VideoOut(64, 36, 25));
                  writer->SetInputMediaType(video, *VideoIn(64, 36, 25));
                  writer->BeginWriting();
                  Write(*writer, video, std::vector<uint8_t>(64 * 36 * 4 - 1), 0, 400000);
              }).find("WriteSample failed: 0x80070057: a video sample of 9215 bytes is short of a 64x36 frame"),
              std::string::npos);
    // A stream tick goes to a stream that exists, while writing.
    EXPECT_NE(ErrorOf([] {
                  auto writer = CreateSinkWriterFromURL(TempPath("tick.mp4"), nullptr);
                  uint32_t video = writer->AddStream(*VideoOut(64, 36, 25));
                  writer->SetInputMediaType(video, *VideoIn(64, 36, 25));
                  writer->BeginWriting();
                  writer->SendStreamTick(video + 1, 0);
              }).find("SendStreamTick failed: 0xC00D36B3: no stream 1"),
              std::string::npos);
    EXPECT_NE(ErrorOf([] { CreateSinkWriterFromURL(TempPath("clip.nosuchformat"), nullptr); })
                  .find("no container format for the file name's extension"),
              std::string::npos);
    EXPECT_NE(ErrorOf([] { CreateSinkWriterFromURL(TempPath("missing/dir/clip.mp4"), nullptr); })
                  .find("CreateSinkWriterFromURL failed: 0x80070003"),
              std::string::npos);
}

namespace {

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the recorder does before its first frame: a writer with an H.264 stream
// and, with a sample rate, an AAC stream, writing.
std::shared_ptr<SinkWriter> StartRecording(const std::string& path, uint32_t w, uint32_t h, uint32_t fps,
                                           uint32_t rate) {
    auto attributes = CreateAttributes(1);
    attributes->SetUINT32(Attribute::EnableHardwareTransforms, 1);
    auto writer = CreateSinkWriterFromURL(path, attributes.get());
    uint32_t video = writer->AddStream(*VideoOut(w, h, fps));
    writer->SetInputMediaType(video, *VideoIn(w, h, fps));
    if (rate) {
        uint32_t audio = writer->AddStream(*AudioType(true, rate, 2));
        writer->SetInputMediaType(audio, *AudioType(false, rate, 2));
    }
    writer->BeginWriting();
    return writer;
}

}  // namespace

// A recording refused before its first frame, at whichever call refuses it,
// leaves an existing file of that name byte for byte as it was and creates none
// where there was none; the reasons are those the calls give. A recording that
// starts replaces the file.
TEST(VideoWriter, RefusedStartLeavesThePathAsItWas) {
    struct Case {
        std::string file;
        int w, h, fps, rate;
        std::string expected;
        bool canExist = true;  // false: the path cannot hold a file (a missing folder)
    };
    const std::vector<Case> cases = {
        {"odd.mp4", 641, 361, 30, 48000, "AddStream failed: 0xC00D36B4: H.264 needs an even width and height: 641x361"},
        {"still.mp4", 320, 180, 0, 48000, "AddStream failed: 0xC00D36B4: H.264 needs a positive frame rate: 0"},
        {"backwards.mp4", 320, 180, -5, 48000, "AddStream failed: 0xC00D36B4: H.264 needs a positive frame rate: -5"},
        {"rate.mp4", 320, 180, 30, 12345, "AddStream failed: 0xC00D36B4: AAC does not take a sample rate of 12345 Hz"},
        {"keep.wav", 320, 180, 30, 48000, "AddStream failed: 0xC00D36B4: the wav container cannot hold H.264"},
        {"keep.gif", 320, 180, 30, 48000,
         "BeginWriting failed: 0x80004005: writing the header of " + TempPath("keep.gif") +
             ": Invalid argument (GIF muxer supports only a single video GIF stream.)"},
        {"keep.mp3", 320, 180, 30, 48000,
         "BeginWriting failed: 0x80004005: writing the header of " + TempPath("keep.mp3") +
             ": Invalid argument (Invalid audio stream. Exactly one MP3 audio stream is required.)"},
        {"keep.nosuchformat", 320, 180, 30, 48000,
         "CreateSinkWriterFromURL failed: 0xC00D36C4: no container format for the file name's extension"},
        {"missing/keep.mp4", 320, 180, 30, 48000,
         "CreateSinkWriterFromURL failed: 0x80070003: cannot create " + TempPath("missing/keep.mp4") +
             ": No such file or directory",
         false},
    };
    const std::string kept = "an earlier recording, kept\n";
    for (const Case& c : cases) {
        const std::string path = TempPath(c.file);
        for (bool existing : {true, false}) {
            if (existing && !c.canExist) continue;
            std::filesystem::remove(path);
            if (existing) std::ofstream(path, std::ios::binary) << kept;
            std::string message = ErrorOf([&] { StartRecording(path, uint32_t(c.w), uint32_t(c.h), uint32_t(c.fps), uint32_t(c.rate)); });
            const std::string which = c.file + (existing ? " over a file" : " where there is none");
            EXPECT_NE(message.find(c.expected), std::string::npos) << which << ": " << message;
            if (existing)
                EXPECT_EQ(FileBytes(path), kept) << which;
            else
                EXPECT_FALSE(std::filesystem::exists(path)) << which;
        }
        std::filesystem::remove(path);
    }

    // What stands in the way is left alone too: a folder of that name, and a file
    // where a folder of the path should be.
    const std::string folder = TempPath("folder.mp4");
    std::filesystem::create_directories(folder + "/inside");
    EXPECT_NE(ErrorOf([&] { StartRecording(folder, 320, 180, 30, 48000); })
                  .find("CreateSinkWriterFromURL failed: 0x80004005: cannot create " + folder + ": Is a directory"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/inside"));
    const std::string notFolder = TempPath("plain");
    std::ofstream(notFolder, std::ios::binary) << kept;
    EXPECT_NE(ErrorOf([&] { StartRecording(notFolder + "/keep.mp4", 320, 180, 30, 48000); })
                  .find("CreateSinkWriterFromURL failed: 0x80070003: cannot create " + notFolder +
                        "/keep.mp4: Not a directory"),
              std::string::npos);
    EXPECT_EQ(FileBytes(notFolder), kept);

    // A recording that starts replaces the earlier file with itself.
    const std::string path = TempPath("replaced.mp4");
    std::ofstream(path, std::ios::binary) << kept;
    {
        auto writer = StartRecording(path, 64, 36, 25, 0);
        const uint8_t c[3] = {10, 200, 30};
        for (int k = 0; k < 3; ++k) Write(*writer, 0, TwoTone(64, 36, c, c), k * 400000, 400000);
        writer->Finalize();
    }
    rapidjson::Document d = Probe(path);
    ASSERT_TRUE(d.IsObject() && d.HasMember("streams") && d["streams"].Size() == 1u) << path;
    EXPECT_STREQ(d["streams"][0]["nb_read_frames"].GetString(), "3");
}
