// The twenty textures the demo shader samples as t0..t19: what goes into each
// slot, the order they are made in, and the order they are released in.
//
// The host makes them once at start-up (after the renderer, before the music),
// owns them for the whole run, hands them to the renderer as one array in slot
// order, and releases them at shutdown in the reverse of their creation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

namespace gpu {
class Device;
class DeviceContext;
class ShaderResourceView;
}  // namespace gpu

enum class TextureSource { Svg, Image, Text };

// How a text entry's text is turned into the lines that are set.
enum class TextLines { AsWritten, OneCharacterPerLine, ReversedOneCharacterPerLine };

struct TextureEntry {
    uint32_t Slot;
    const char* Name;  // the texture's name in the shader
    TextureSource Source;
    const char* Content;  // graphic file name under "Artifacts/Graphics/", or the text
    int32_t SvgHeight = 0;
    float FontSize = 0;
    float LineSpacing = 0;
    int32_t Alignment = 0;  // 0 leading, 1 trailing, 2 centre
    TextLines Lines = TextLines::AsWritten;
};

class TextureTable {
public:
    static constexpr size_t Count = 20;
    using View = std::shared_ptr<gpu::ShaderResourceView>;
    using Maker = std::function<View(const TextureEntry&)>;

    // The twenty entries in creation order (t0..t11, t19, t16..t18, t12..t15).
    static std::span<const TextureEntry> CreationOrder();
    // The text that is set for a text entry.
    static std::string TextOf(const TextureEntry& entry);
    // Every UTF-16 code unit on a line of its own, one line feed between each two.
    static std::string OneCharacterPerLine(std::string_view text);

    // Makes every texture with the texture maker on the device, in creation order,
    // each complete before the next is begun.
    static TextureTable Make(gpu::Device& device, gpu::DeviceContext& context, std::span<const uint8_t> fontBytes);
    // The same with any maker (one call per entry, in creation order).
    static TextureTable Make(const Maker& make);
    // The one texture of an entry, as Make makes it.
    static View MakeEntry(gpu::Device& device, gpu::DeviceContext& context, const TextureEntry& entry,
                          std::span<const uint8_t> fontBytes);

    TextureTable() = default;
    TextureTable(TextureTable&&) = default;
    TextureTable& operator=(TextureTable&&) = default;

    // A new array of the twenty views in slot order, t0 at index 0.
    std::vector<View> SlotOrder() const;
    // Releases the views, one at a time in the reverse of their creation.
    void Release();

private:
    struct Made {
        uint32_t Slot;
        View Texture;
    };
    std::vector<Made> made_;  // in creation order
};

}  // namespace velk
