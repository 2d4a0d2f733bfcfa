// MP3 decoding on the Media Foundation source reader. Expected figures come from
// the Linux decoder on the same files: the shipped soundtrack carries an encoder tag
// and decodes there trimmed to its 7440000 frames; the platform decoder may deliver
// the encoder's delay and padding as well, up to the tag's count of frames in full.
// The small tone has no tag (its frames are too small for one) and decodes to all
// of its 22 frames of 576 samples everywhere.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/com_streams.h"
#include "host/errors.h"
#include "media/mf_guids_windows.h"
#include "media/mp3.h"
#include "media/mp3_mf_windows.h"
#include "windows/media_foundation.h"
#include "windows/mp3_tag.h"

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& relative) {
    std::ifstream f(std::filesystem::path(VELK_SOURCE_DIR) / relative, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

int16_t Value(const std::vector<uint8_t>& pcm, size_t index) {
    return static_cast<int16_t>(pcm[index * 2] | (pcm[index * 2 + 1] << 8));
}

}  // namespace

// The stream that the decoder hands to the source reader is typed as MPEG audio
// (the reader gets no URL, so Windows resolves the source by that type alone) and
// reads the bytes from their start.
TEST(Mp3Mf, TheReadersStreamCarriesTheMp3ContentType) {
    std::vector<uint8_t> mp3 = ReadFile("tests/windows/data/tone-22050-mono.mp3");
    ASSERT_FALSE(mp3.empty());
    ASSERT_TRUE(SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL)));
    {
        std::unique_ptr<velk::ByteStream> stream = velk::ComStreams::FromBytes(mp3);
        Microsoft::WRL::ComPtr<IMFByteStream> byteStream =
            velk::mp3::MakeByteStream(static_cast<IStream*>(stream->NativeStream()));
        Microsoft::WRL::ComPtr<IMFAttributes> attributes;
        ASSERT_TRUE(SUCCEEDED(byteStream.As(&attributes)));
        wchar_t* type = nullptr;
        UINT32 length = 0;
        ASSERT_TRUE(SUCCEEDED(
            attributes->GetAllocatedString(velk::MfGuids::MF_BYTESTREAM_CONTENT_TYPE, &type, &length)));
        EXPECT_STREQ(type, L"audio/mpeg");
        CoTaskMemFree(type);

        QWORD size = 0;
        EXPECT_TRUE(SUCCEEDED(byteStream->GetLength(&size)));
        EXPECT_EQ(size, mp3.size());
        BYTE head[4] = {};
        ULONG read = 0;
        EXPECT_TRUE(SUCCEEDED(byteStream->Read(head, sizeof head, &read)));
        ASSERT_EQ(read, sizeof head);
        EXPECT_EQ(std::vector<uint8_t>(head, head + 4), std::vector<uint8_t>(mp3.begin(), mp3.begin() + 4));
    }
    MFShutdown();
}

// The soundtrack: its own rate and channels, its length between the trimmed count
// and the untrimmed one of its encoder tag, and the samples where the Linux decoder
// puts them, left before right (the two decoders round differently by at most one
// step), shifted by the delay the platform decoder kept, if any.
TEST(Mp3Mf, SoundtrackMatchesTheLinuxDecoder) {
    std::vector<uint8_t> mp3 = ReadFile(u8"Artifacts/Audio/velksmör.mp3");
    ASSERT_EQ(mp3.size(), 3721818u);
    std::optional<velk::test::EncoderTag> tag = velk::test::ReadEncoderTag(mp3);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->Trimmed(), 7440000);  // the Linux decoder's count
    std::vector<uint8_t> pcm;
    velk::mp3::Format format = velk::mp3::Decode(mp3.data(), mp3.size(), pcm);
    EXPECT_EQ(format.SampleRate, 48000);
    EXPECT_EQ(format.Channels, 2);
    ASSERT_EQ(pcm.size() % 4, 0u);
    const int64_t frames = static_cast<int64_t>(pcm.size() / 4);
    ASSERT_GE(frames, tag->Trimmed());
    ASSERT_LE(frames, tag->Untrimmed());

    struct Window {
        size_t frame;
        int16_t values[6];  // three frames, left and right
    };
    const Window windows[] = {
        {0, {-256, -255, 1262, 1263, 2318, 2318}},
        {1440000, {9474, 12320, 9911, 13029, 5945, 9438}},
        {2880000, {-11249, -6844, -9821, -5639, -10620, -6736}},
        {4320000, {2559, -1650, -184, -4474, -33, -4671}},
        {5760000, {10507, 8396, 12106, 9306, 13107, 9405}},
        {7200000, {285, 283, 295, 292, 307, 302}},
    };
    auto matches = [&](const Window& w, size_t shift) {
        for (size_t i = 0; i < 6; ++i)
            if (std::abs(Value(pcm, (w.frame + shift) * 2 + i) - w.values[i]) > 2) return false;
        return true;
    };
    // The delay kept at the start: the shift at which a window in the middle of the
    // track matches (a trimming decoder keeps none).
    size_t shift = 0;
    while (static_cast<int64_t>(shift) <= frames - tag->Trimmed() && !matches(windows[2], shift)) ++shift;
    ASSERT_LE(static_cast<int64_t>(shift), frames - tag->Trimmed()) << "the sound is not where Linux puts it";
    for (const Window& w : windows)
        for (size_t i = 0; i < 6; ++i)
            EXPECT_NEAR(Value(pcm, (w.frame + shift) * 2 + i), w.values[i], 2)
                << "frame " << w.frame << " (+" << shift << ") value " << i;
}

TEST(Mp3Mf, MonoToneKeepsItsFormat) {
    std::vector<uint8_t> mp3 = ReadFile("tests/windows/data/tone-22050-mono.mp3");
    ASSERT_FALSE(mp3.empty());
    std::vector<uint8_t> pcm;
    velk::mp3::Format format = velk::mp3::Decode(mp3.data(), mp3.size(), pcm);
    EXPECT_EQ(format.SampleRate, 22050);
    EXPECT_EQ(format.Channels, 1);
    ASSERT_EQ(pcm.size(), 12672u * 2);
    const std::pair<size_t, int16_t> samples[] = {{0, 0}, {1105, 50}, {1200, -9342}, {4000, -15460},
                                                  {8000, -8117}, {12000, 8794}};
    for (auto [index, value] : samples) EXPECT_NEAR(Value(pcm, index), value, 2) << "sample " << index;
}

// Bytes in which the platform finds no MP3 raise with the platform's code, and
// leave Media Foundation shut down as they found it.
TEST(Mp3Mf, NoAudioRaises) {
    std::string text(5000, 'x');
    const std::vector<std::vector<uint8_t>> inputs = {{}, std::vector<uint8_t>(text.begin(), text.end())};
    ASSERT_FALSE(velk::test::MediaFoundationStarted());
    for (const auto& bytes : inputs) {
        std::vector<uint8_t> pcm;
        try {
            velk::mp3::Decode(bytes.data(), bytes.size(), pcm);
            ADD_FAILURE() << "decoded " << bytes.size() << " bytes without audio";
        } catch (const velk::ComException& e) {
            EXPECT_LT(e.Code(), 0) << e.what();
            EXPECT_NE(std::string(e.what()).find("failed: 0x"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(velk::test::MediaFoundationShutsDown()) << bytes.size() << " bytes";
    }
}
