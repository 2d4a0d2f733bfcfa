// The host's Windows layer: paths and the development-tree search on drive and
// network paths, file errors, the clock's counter, byte streams as COM streams,
// the process entry of a GUI-subsystem program, and the manifest it carries.
#include <windows.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "host/clock.h"
#include "host/com_streams.h"
#include "host/content.h"
#include "host/errors.h"
#include "host/files.h"
#include "host/wide_text_windows.h"

using velk::Content;
namespace files = velk::files;

namespace {

// A fresh folder under the user's temporary folder, removed with its files.
struct TempTree {
    std::string root;
    TempTree() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = velk::text::Narrow(temp) + "velk-host-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(reinterpret_cast<uintptr_t>(this));
        std::filesystem::create_directories(velk::text::Wide(root));
    }
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(velk::text::Wide(root), ignored);
    }
    std::string Dir(const std::string& rel = "") const { return rel.empty() ? root : root + "\\" + rel; }
    void MakeDir(const std::string& rel) const { std::filesystem::create_directories(velk::text::Wide(Dir(rel))); }
    void Write(const std::string& rel, const std::string& bytes) const {
        files::WriteAllBytes(Dir(rel), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
};

struct ProcessResult {
    DWORD exitCode = 0;
    std::string out, err;
};

// Runs a program with both standard streams redirected to files, as a parent
// process that captures a GUI program's output does.
ProcessResult RunRedirected(const std::wstring& commandLine) {
    TempTree t;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    std::wstring outPath = velk::text::Wide(t.Dir("out.txt")), errPath = velk::text::Wide(t.Dir("err.txt"));
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    ProcessResult r;
    bool started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    EXPECT_TRUE(started) << GetLastError();
    if (!started) return r;
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &r.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    auto read = [](const std::string& path) {
        auto b = files::ReadAllBytes(path);
        return std::string(b.begin(), b.end());
    };
    r.out = read(t.Dir("out.txt"));
    r.err = read(t.Dir("err.txt"));
    return r;
}

std::wstring ToolPath(const char* name) {
    return velk::text::Wide(std::string(VELK_BINARY_DIR) + "\\tests\\" + name + ".exe");
}

}  // namespace

TEST(WindowsPaths, RootsParentsAndJoins) {
    struct Parent {
        const char* dir;
        const char* parent;  // nullptr: none
    } parents[] = {
        {"C:\\demo\\bin\\", "C:\\demo"},  {"C:\\demo\\bin", "C:\\demo"},   {"C:\\demo", "C:\\"},
        {"C:\\demo\\", "C:\\"},           {"C:\\", nullptr},               {"Z:/work/x/", "Z:/work"},
        {"\\\\server\\share\\a\\", "\\\\server\\share\\"}, {"\\\\server\\share\\", nullptr},
    };
    for (const Parent& p : parents) {
        auto got = files::ParentDirectory(p.dir);
        if (p.parent)
            EXPECT_EQ(got, std::optional<std::string>(p.parent)) << p.dir;
        else
            EXPECT_EQ(got, std::nullopt) << p.dir;
    }
    EXPECT_EQ(Content::Join("C:\\demo", "Shaders/demo.hlsl"), "C:\\demo\\Shaders/demo.hlsl");
    EXPECT_EQ(Content::Join("C:\\demo\\bin\\", "Shaders/demo.hlsl"), "C:\\demo\\bin\\Shaders/demo.hlsl");
    EXPECT_EQ(Content::Join("C:\\", "x"), "C:\\x");
    EXPECT_EQ(Content::Join("C:\\demo/", "x"), "C:\\demo/x");
    for (const char* rooted : {"D:\\abs\\file", "d:relative", "\\abs", "/abs"})
        EXPECT_EQ(Content::Join("C:\\demo", rooted), rooted);
    EXPECT_EQ(files::Separator(), '\\');
}

TEST(WindowsPaths, SourceRootSearchUpToTheDriveRoot) {
    TempTree t;
    t.MakeDir("a\\b\\c");
    // The marker beside the start directory: the root keeps its trailing backslash.
    t.Write("a\\b\\c\\tovelmark-velk.root", "");
    EXPECT_EQ(Content::FindSourceRootFrom(t.Dir("a\\b\\c\\")), t.Dir("a\\b\\c\\"));
    // Two levels up: the ancestor without a trailing separator.
    t.Write("a\\tovelmark-velk.root", "");
    TempTree u;
    u.MakeDir("x\\tovelmark-velk.root");  // a directory with the marker's name is no marker
    u.MakeDir("x\\y");
    EXPECT_EQ(Content::FindSourceRootFrom(t.Dir("a\\b\\") ), t.Dir("a"));
    // No marker anywhere up to the drive root: embedded mode.
    EXPECT_EQ(Content::FindSourceRootFrom(u.Dir("x\\y\\")), std::nullopt);
    // The executable's own directory, as the system reports it, ends with a backslash.
    std::string exeDir = files::ExecutableDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '\\');
    EXPECT_TRUE(files::IsRegularFile(exeDir + "velk_windows_tests.exe"));
}

TEST(WindowsPaths, DevelopmentModeFilesAndErrors) {
    TempTree t;
    t.MakeDir("Shaders");
    t.MakeDir("Artifacts\\Audio\\sub");
    t.Write("Shaders\\demo.hlsl", "on disk");
    t.Write("Artifacts\\Audio\\b.mp3", "");
    t.Write("Artifacts\\Audio\\a.MP3", "");
    t.Write("Artifacts\\Audio\\sub\\c.mp3", "");
    SetFileAttributesW(velk::text::Wide(t.Dir("Artifacts\\Audio\\b.mp3")).c_str(), FILE_ATTRIBUTE_HIDDEN);
    Content::InitializeForTest(t.Dir(), velk::EmbeddedStore());
    auto bytes = Content::Read("Shaders/demo.hlsl");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "on disk");
    // A case-insensitive file system finds the file under another spelling.
    EXPECT_EQ(Content::Read("shaders/DEMO.hlsl").size(), 7u);
    std::vector<std::string> expected = {"Artifacts/Audio/a.MP3", "Artifacts/Audio/b.mp3"};
    EXPECT_EQ(Content::List("Artifacts/Audio", ".Mp3"), expected);
    EXPECT_TRUE(Content::List("Artifacts/Nothing", ".mp3").empty());
    EXPECT_THROW(Content::Read("Shaders/other.hlsl"), velk::FileNotFoundException);
    EXPECT_THROW(Content::Read("NoFolder/x"), velk::DirectoryNotFoundException);
    EXPECT_THROW(Content::Read("Shaders"), velk::UnauthorizedAccessException);
    EXPECT_GT(files::LastWriteTimeUtc(t.Dir("Shaders\\demo.hlsl")), 0);
    EXPECT_EQ(files::LastWriteTimeUtc(t.Dir("Shaders\\none.hlsl")), 0);
    Content::InitializeForTest(std::nullopt, velk::EmbeddedStore());
}

TEST(WindowsClock, CountsWholeTicksOfThePerformanceCounter) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(velk::platform::PerformanceFrequency(), frequency.QuadPart);
    // One second of counts is exactly one second; one count less is truncated.
    EXPECT_EQ(velk::Clock::ElapsedSeconds(frequency.QuadPart, frequency.QuadPart), 1.0);
    EXPECT_LT(velk::Clock::ElapsedSeconds(frequency.QuadPart - 1, frequency.QuadPart), 1.0);
    velk::Clock clock;
    double last = clock.Seconds();
    EXPECT_GE(last, 0.0);
    EXPECT_LT(last, 1.0);
    velk::platform::Sleep(20);
    for (int i = 0; i < 1000; ++i) {
        double t = clock.Seconds();
        ASSERT_GE(t, last);
        last = t;
    }
    EXPECT_GE(last, 0.015);
    double ticks = last * 1e7;
    EXPECT_NEAR(ticks, std::round(ticks), 1e-3);  // whole 100 ns steps
}

TEST(WindowsComStreams, FromBytesIsAnIStreamOverACopy) {
    std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
    auto s = velk::ComStreams::FromBytes(bytes);
    bytes[0] = 9;
    auto* stream = static_cast<IStream*>(s->NativeStream());
    ASSERT_NE(stream, nullptr);
    IStream* again = nullptr;
    ASSERT_EQ(stream->QueryInterface(IID_IStream, reinterpret_cast<void**>(&again)), S_OK);
    again->Release();
    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 5u);
    // The decoders' view and the program's view are one stream, starting at 0.
    uint8_t out[8] = {};
    ULONG got = 0;
    ASSERT_EQ(stream->Read(out, 2, &got), S_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(s->Position(), 2u);
    EXPECT_EQ(s->Read(out, 8), 3u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(s->Seek(-10, 1), 0u);
    EXPECT_EQ(s->Seek(10, 0), 5u);

    auto empty = velk::ComStreams::FromBytes({});
    ASSERT_NE(empty->NativeStream(), nullptr);
    EXPECT_EQ(empty->Size(), 0u);
    EXPECT_EQ(empty->Read(out, 1), 0u);
}

TEST(WindowsProcess, GuiProgramArgumentsStreamsApartmentAndUncaughtErrors) {
    // Non-ASCII and quoted arguments arrive as UTF-8; both streams reach the
    // redirected handles; the main thread is in the multithreaded apartment (1).
    ProcessResult r = RunRedirected(L"\"" + ToolPath("process_probe") + L"\" \"\u00e4 b\" -w \"\"");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, "arg c3 a4 20 62\r\narg 2d 77\r\narg\r\napartment 1\r\n");
    EXPECT_EQ(r.err, "to standard error\r\n");
    // An error nothing catches: "Kind: message" and status 1.
    r = RunRedirected(L"\"" + ToolPath("process_probe") + L"\" throw");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, "to standard error\r\nInvalidOperationException: CreateWindowEx failed: 1407\r\n");
}

TEST(WindowsManifest, TheProgramsManifestResource) {
    std::wstring path = ToolPath("process_probe");
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << GetLastError();
    HRSRC res = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST, id 1
    ASSERT_NE(res, nullptr);
    DWORD size = SizeofResource(image, res);
    const char* data = static_cast<const char*>(LockResource(LoadResource(image, res)));
    std::string manifest(data, size);
    FreeLibrary(image);
    auto bytes = files::ReadAllBytes(std::string(VELK_SOURCE_DIR) + "\\src\\host\\tovelmark-velk.manifest");
    EXPECT_EQ(manifest, std::string(bytes.begin(), bytes.end()));
    for (const char* part :
         {"manifestVersion=\"1.0\"", "<assemblyIdentity version=\"1.0.0.0\" name=\"tovelmark.velk\"/>",
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
          "xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2</dpiAwareness>"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    // No themed common controls (the dialog keeps the classic look), no execution level.
    for (const char* absent : {"Common-Controls", "dependency", "requestedExecutionLevel"})
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
}
