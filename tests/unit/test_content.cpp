#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/com_streams.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/files.h"

namespace fs = std::filesystem;
using velk::Content;
using velk::EmbeddedStore;

namespace {

// The platform's separator, which a join puts between a root and a name.
const std::string kSep(1, velk::files::Separator());

struct TempTree {
    fs::path root;
    TempTree() {
        root = fs::temp_directory_path() / ("velk-content-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(root);
    }
    ~TempTree() { fs::remove_all(root); }
    void Write(const std::string& rel, const std::string& bytes) {
        fs::path p = root / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }
    std::string Dir(const std::string& rel = "") const {
        return rel.empty() ? root.string() : (root / rel).string();
    }
};

const uint8_t kShader[] = {'s', 'h', 'a', 'd', 'e', 'r'};
const uint8_t kMp3[] = {1, 2, 3};

EmbeddedStore SampleStore() {
    return EmbeddedStore({
        {"Shaders\\demo.hlsl", kShader},
        {"Artifacts\\Audio\\velksm\xC3\xB6r.mp3", kMp3},
        {"Artifacts\\Audio\\deeper\\b.mp3", kMp3},
        {"Artifacts\\Audio\\A.MP3", kMp3},
        {"Artifacts\\Audio\\notes.txt", kMp3},
    });
}

class ContentTest : public ::testing::Test {
protected:
    void TearDown() override { Content::InitializeForTest(std::nullopt, EmbeddedStore()); }
};

}  // namespace

TEST_F(ContentTest, SourceRootSearch) {
    TempTree t;
    // Marker beside the start directory: the root keeps its trailing separator.
    t.Write("a/b/tovelmark-velk.root", "");
    std::string start = t.Dir("a/b") + "/";
    EXPECT_EQ(Content::FindSourceRootFrom(start), start);
    EXPECT_EQ(Content::Join(start, "Shaders/demo.hlsl"), start + "Shaders/demo.hlsl");

    // Marker two levels up: the ancestor without a trailing separator.
    TempTree u;
    u.Write("tovelmark-velk.root", "");
    fs::create_directories(u.root / "x/y");
    auto found = Content::FindSourceRootFrom(u.Dir("x/y") + "/");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, u.Dir());
    EXPECT_EQ(Content::Join(*found, "Shaders/demo.hlsl"), u.Dir() + kSep + "Shaders/demo.hlsl");

    // A directory with the marker's name is no marker; nothing up to the root: none.
    TempTree v;
    fs::create_directories(v.root / "tovelmark-velk.root");
    fs::create_directories(v.root / "p");
    EXPECT_EQ(Content::FindSourceRootFrom(v.Dir("p") + "/"), std::nullopt);
}

TEST_F(ContentTest, JoinRules) {
    if (kSep != "/") GTEST_SKIP() << "POSIX paths (the Windows join has its own test)";
    EXPECT_EQ(Content::Join("/demo", "Shaders/demo.hlsl"), "/demo/Shaders/demo.hlsl");
    EXPECT_EQ(Content::Join("/demo/bin/", "Shaders/demo.hlsl"), "/demo/bin/Shaders/demo.hlsl");
    EXPECT_EQ(Content::Join("/", "x"), "/x");
    EXPECT_EQ(Content::Join("/demo", "/abs/file"), "/abs/file");
}

TEST_F(ContentTest, EmbeddedLookupIsExactAndCaseSensitive) {
    Content::InitializeForTest(std::nullopt, SampleStore());
    auto bytes = Content::Read("Shaders/demo.hlsl");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "shader");
    EXPECT_EQ(Content::SourcePath("Shaders/demo.hlsl"), std::nullopt);
    try {
        Content::Read("shaders/demo.hlsl");
        FAIL() << "expected FileNotFoundException";
    } catch (const velk::FileNotFoundException& e) {
        EXPECT_STREQ(e.what(), "'shaders/demo.hlsl' is not embedded in the executable.");
        EXPECT_STREQ(e.Kind(), "FileNotFoundException");
    }
}

TEST_F(ContentTest, EmbeddedListing) {
    Content::InitializeForTest(std::nullopt, SampleStore());
    // Upper-case extension, deeper folders included, sorted ordinally (upper case first).
    std::vector<std::string> expected = {"Artifacts/Audio/A.MP3", "Artifacts/Audio/deeper/b.mp3",
                                         "Artifacts/Audio/velksm\xC3\xB6r.mp3"};
    EXPECT_EQ(Content::List("Artifacts/Audio", ".MP3"), expected);
    // The store's spelling, not the caller's; a trailing slash finds nothing.
    EXPECT_EQ(Content::List("artifacts/audio", ".mp3"), expected);
    EXPECT_TRUE(Content::List("Artifacts/Audio/", ".mp3").empty());
}

TEST_F(ContentTest, DevelopmentModeReadsTheTree) {
    TempTree t;
    t.Write("Shaders/demo.hlsl", "on disk");
    t.Write("Artifacts/Audio/b.mp3", "");
    t.Write("Artifacts/Audio/a.MP3", "");
    t.Write("Artifacts/Audio/sub/c.mp3", "");
    Content::InitializeForTest(t.Dir(), SampleStore());
    auto bytes = Content::Read("Shaders/demo.hlsl");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "on disk");
    EXPECT_EQ(Content::SourcePath("Shaders/demo.hlsl"), t.Dir() + kSep + "Shaders/demo.hlsl");
    // Only the folder's own files, the caller's spelling of the folder.
    std::vector<std::string> expected = {"Artifacts/Audio/a.MP3", "Artifacts/Audio/b.mp3"};
    EXPECT_EQ(Content::List("Artifacts/Audio", ".Mp3"), expected);
    EXPECT_TRUE(Content::List("Artifacts/Nothing", ".mp3").empty());
    // No fallback to the embedded store; file-system errors pass through.
    EXPECT_THROW(Content::Read("Shaders/other.hlsl"), velk::FileNotFoundException);
    EXPECT_THROW(Content::Read("NoFolder/x"), velk::DirectoryNotFoundException);
    EXPECT_THROW(Content::Read("Shaders"), velk::UnauthorizedAccessException);
}

TEST_F(ContentTest, ReadTextHonoursByteOrderMarks) {
    struct Case {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"plain\r\ntext", "plain\r\ntext"},
        {"\xEF\xBB\xBFwith bom", "with bom"},
        {std::string("\xFF\xFEh\0\xE4\0", 6), "h\xC3\xA4"},
        {std::string("\xFE\xFF\0h\0\xE4", 6), "h\xC3\xA4"},
        {std::string("\xFF\xFE\0\0h\0\0\0", 8), "h"},
        {std::string("\0\0\xFE\xFF\0\0\0h", 8), "h"},
        {"bad \xC3 byte", "bad \xEF\xBF\xBD byte"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(Content::DecodeText(b), c.text);
    }
}

TEST(ComStreams, CopiesBytesAndStartsAtZero) {
    std::vector<uint8_t> bytes = {1, 2, 3};
    auto s = velk::ComStreams::FromBytes(bytes);
    bytes[0] = 9;
    uint8_t out[4] = {};
    EXPECT_EQ(s->Read(out, 4), 3u);
    EXPECT_EQ(out[0], 1);
    auto empty = velk::ComStreams::FromBytes({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Size(), 0u);
    EXPECT_EQ(empty->Read(out, 1), 0u);
}
