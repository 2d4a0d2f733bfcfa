// The assets built into the executable (generated table, see cmake/embed_assets.cmake).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

struct EmbeddedAsset {
    const char8_t* Name;  // stored name, "\"-separated, UTF-8; null ends the table
    const unsigned char* Begin;
    const unsigned char* End;
};

extern const EmbeddedAsset kEmbeddedAssets[];

// Read-only view of a set of stored assets: exact, case-sensitive lookup and the
// list of all names in the store's own order.
class EmbeddedStore {
public:
    struct Entry {
        std::string Name;
        std::span<const uint8_t> Bytes;
    };

    EmbeddedStore() = default;
    explicit EmbeddedStore(std::vector<Entry> entries) : entries_(std::move(entries)) {}
    // The program's own assets.
    static EmbeddedStore Program();

    const Entry* Find(std::string_view storedName) const;
    std::vector<std::string> Names() const;

private:
    std::vector<Entry> entries_;
};

}  // namespace velk
