// Asset access by "/"-separated name.
//
// Assets come from one of two stores, chosen once per run: the copies embedded
// in the executable, or (development mode) the files of the source tree when the
// executable lies inside it, found by the project marker file in the executable's
// directory or an ancestor. In development mode edits are seen at once: nothing is
// cached, and SourcePath tells the shader loader which files to watch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/embedded_store.h"

namespace velk {

// Name of the project marker file at the root of the source tree.
inline constexpr const char* kProjectMarker = "tovelmark-velk.root";

class Content {
public:
    // The whole asset as a new byte array; reads again on every call.
    static std::vector<uint8_t> Read(std::string_view name);
    // The asset decoded as text (UTF-8, or the encoding its byte-order mark names).
    static std::string ReadText(std::string_view name);
    // Sorted names of the assets in a folder that end with the extension.
    static std::vector<std::string> List(std::string_view folder, std::string_view extension);
    // On-disk path of the asset in development mode; none in embedded mode.
    static std::optional<std::string> SourcePath(std::string_view name);

    // The source root, or none in embedded mode (initialises on first use).
    static const std::optional<std::string>& SourceRoot();

    // --- The pieces behind the operations, open for tests. ---
    // Searches the start directory (given with its trailing separator) and every
    // ancestor up to the file-system root for the marker file.
    static std::optional<std::string> FindSourceRootFrom(const std::string& startDirectory);
    // Sets the two fields in place of the static initialisation (tests only).
    static void InitializeForTest(std::optional<std::string> sourceRoot, EmbeddedStore store);
    // Joins a root and an asset name: one separator unless the root ends with one.
    static std::string Join(const std::string& root, std::string_view name);
    // Decodes bytes as text: BOM selects UTF-8/16/32; invalid bytes become U+FFFD.
    static std::string DecodeText(const std::vector<uint8_t>& bytes);
};

}  // namespace velk
