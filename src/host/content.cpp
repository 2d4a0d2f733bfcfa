#include "host/content.h"

#include <algorithm>

#include "host/errors.h"
#include "host/files.h"
#include "host/text.h"

namespace velk {
namespace {

struct State {
    std::optional<std::string> SourceRoot;
    EmbeddedStore Embedded;
};

State& Get() {
    // Static initialisation: runs just before the first Content operation.
    static State state = [] {
        State s;
        s.SourceRoot = Content::FindSourceRootFrom(files::ExecutableDirectory());
        s.Embedded = EmbeddedStore::Program();
        return s;
    }();
    return state;
}

std::optional<State>& TestOverride() {
    static std::optional<State> state;
    return state;
}

State& Current() {
    auto& o = TestOverride();
    return o ? *o : Get();
}

std::string ToStored(std::string_view name) {
    std::string s(name);
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

}  // namespace

std::optional<std::string> Content::FindSourceRootFrom(const std::string& startDirectory) {
    std::optional<std::string> dir = startDirectory;
    while (dir) {
        if (files::IsRegularFile(Join(*dir, kProjectMarker))) return dir;
        dir = files::ParentDirectory(*dir);
    }
    return std::nullopt;
}

void Content::InitializeForTest(std::optional<std::string> sourceRoot, EmbeddedStore store) {
    TestOverride() = State{std::move(sourceRoot), std::move(store)};
}

const std::optional<std::string>& Content::SourceRoot() { return Current().SourceRoot; }

std::string Content::Join(const std::string& root, std::string_view name) {
    std::string second(name);
    if (files::IsRooted(second)) return second;
    std::string out = root;
    if (out.empty() || (out.back() != '\\' && out.back() != '/')) out += files::Separator();
    out += second;
    return out;
}

std::vector<uint8_t> Content::Read(std::string_view name) {
    State& s = Current();
    if (s.SourceRoot) return files::ReadAllBytes(Join(*s.SourceRoot, name));
    const EmbeddedStore::Entry* e = s.Embedded.Find(ToStored(name));
    if (!e) throw FileNotFoundException("'" + std::string(name) + "' is not embedded in the executable.");
    return std::vector<uint8_t>(e->Bytes.begin(), e->Bytes.end());
}

std::string Content::ReadText(std::string_view name) { return DecodeText(Read(name)); }

std::string Content::DecodeText(const std::vector<uint8_t>& b) {
    const size_t n = b.size();
    auto unit16 = [&](size_t i, bool big) -> char16_t {
        return big ? static_cast<char16_t>((b[i] << 8) | b[i + 1]) : static_cast<char16_t>(b[i] | (b[i + 1] << 8));
    };
    auto decode16 = [&](size_t start, bool big) {
        std::u16string u;
        size_t i = start;
        for (; i + 1 < n; i += 2) u += unit16(i, big);
        if (i < n) u += u'\uFFFD';  // odd trailing byte
        return text::Utf16ToUtf8(u);
    };
    auto decode32 = [&](size_t start, bool big) {
        std::string out;
        size_t i = start;
        for (; i + 3 < n; i += 4) {
            uint32_t cp = big ? (uint32_t(b[i]) << 24 | uint32_t(b[i + 1]) << 16 | uint32_t(b[i + 2]) << 8 | b[i + 3])
                              : (uint32_t(b[i + 3]) << 24 | uint32_t(b[i + 2]) << 16 | uint32_t(b[i + 1]) << 8 | b[i]);
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            text::AppendUtf8(out, cp);
        }
        if (i < n) text::AppendUtf8(out, 0xFFFD);
        return out;
    };
    if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) return decode32(4, false);
    if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) return decode32(4, true);
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return decode16(2, false);
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return decode16(2, true);
    size_t start = (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ? 3 : 0;
    // Round-trip through UTF-16 to replace invalid sequences with U+FFFD.
    std::string_view raw(reinterpret_cast<const char*>(b.data()) + start, n - start);
    return text::Utf16ToUtf8(text::Utf8ToUtf16(raw));
}

std::vector<std::string> Content::List(std::string_view folder, std::string_view extension) {
    State& s = Current();
    std::vector<std::string> names;
    if (s.SourceRoot) {
        std::string dir = Join(*s.SourceRoot, folder);
        if (!files::IsDirectory(dir)) return {};
        for (const std::string& f : files::ListFileNames(dir))
            if (text::EndsWithOrdinalIgnoreCase(f, extension)) names.push_back(std::string(folder) + "/" + f);
    } else {
        std::string prefix = ToStored(folder) + "\\";
        for (const std::string& stored : s.Embedded.Names()) {
            if (text::StartsWithOrdinalIgnoreCase(stored, prefix) && text::EndsWithOrdinalIgnoreCase(stored, extension)) {
                std::string n = stored;
                std::replace(n.begin(), n.end(), '\\', '/');
                names.push_back(n);
            }
        }
    }
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return text::CompareOrdinal(a, b) < 0; });
    return names;
}

std::optional<std::string> Content::SourcePath(std::string_view name) {
    State& s = Current();
    if (!s.SourceRoot) return std::nullopt;
    return Join(*s.SourceRoot, name);
}

// --- embedded store ---

EmbeddedStore EmbeddedStore::Program() {
    std::vector<Entry> entries;
    for (const EmbeddedAsset* a = kEmbeddedAssets; a->Name; ++a)
        entries.push_back({reinterpret_cast<const char*>(a->Name),
                           std::span<const uint8_t>(a->Begin, static_cast<size_t>(a->End - a->Begin))});
    return EmbeddedStore(std::move(entries));
}

const EmbeddedStore::Entry* EmbeddedStore::Find(std::string_view storedName) const {
    for (const Entry& e : entries_)
        if (e.Name == storedName) return &e;
    return nullptr;
}

std::vector<std::string> EmbeddedStore::Names() const {
    std::vector<std::string> out;
    for (const Entry& e : entries_) out.push_back(e.Name);
    return out;
}

}  // namespace velk
