#include "host/texture_table.h"

#include "host/errors.h"
#include "host/program.h"
#include "host/text.h"
#include "textures/textures.h"

namespace velk {

namespace {

using S = TextureSource;
using L = TextLines;

// In creation order. Every text stands as written; \n is one line feed.
const TextureEntry kEntries[TextureTable::Count] = {
    {0, "Logo", S::Svg, "tovelmark_velk.svg", 2048},
    {1, "Title", S::Text, "TOVELMARK\nVELK", 0, 256, 0.95f, 2},
    {2, "Tumlo", S::Image, "tumlo.png"},
    {3, "Q9", S::Image, "q9.png"},
    {4, "Vispel", S::Image, "vispel.png"},
    {5, "TumloCaption", S::Text, "Tumlo - the VelkKniv", 0, 128, 1.0f, 2},
    {6, "Q9Caption", S::Text, "Q9 - Der VelkFührer", 0, 128, 1.0f, 2},
    {7, "VispelCaption", S::Text, "Vispel - Shewolf of the Velk", 0, 128, 1.0f, 2},
    {8, "Scrolltext", S::Text,
     "Tjabbe Scrolltext here you motherfuckers!!! Bulky Bodgerz är ena jävla mesar. Smaka vårat velka stål!", 0,
     128, 1.0f, 2},
    {9, "ScrollUp", S::Text, "Nu jävlar nu kör vi nu dör vi! Jag ska velka hela Grubbmo lilla mamma!", 0, 128,
     0.72f, 2, L::OneCharacterPerLine},
    {10, "ScrollDown", S::Text, "Velkt som snus. Velkgudarnas gåva till det utvalda Tjärnbyfolket!", 0, 128, 0.72f,
     2, L::ReversedOneCharacterPerLine},
    {11, "DataVelk", S::Image, "datavelk.png"},
    {19, "Picture", S::Image, "tant_velk_alla_tre_v4.png"},
    {16, "Velkt", S::Text, "Velkt", 0, 256, 1.0f, 2},
    {17, "Credits1", S::Text, "Concept\nImplementation\n - Doddel", 0, 128, 1.0f, 0},
    {18, "Credits2", S::Text, "Audio\n - Spindrel", 0, 128, 1.0f, 0},
    {12, "Verse1", S::Text, "Velk lyser glöden\ni våra velka själar", 0, 128, 1.0f, 1},
    {13, "Verse2", S::Text, "Vår dagliga velk\ngiv oss idag", 0, 128, 1.0f, 1},
    {14, "Verse3", S::Text, "Velk velka vindar\noch vatten", 0, 128, 1.0f, 0},
    {15, "Verse4", S::Text, "Velk utan sol\nOm själen själv\nfår välja", 0, 128, 1.0f, 0},
};

}  // namespace

std::span<const TextureEntry> TextureTable::CreationOrder() { return kEntries; }

std::string TextureTable::OneCharacterPerLine(std::string_view s) {
    std::u16string units = text::Utf8ToUtf16(s);
    std::u16string lines;
    for (size_t i = 0; i < units.size(); ++i) {
        if (i) lines += u'\n';
        lines += units[i];
    }
    return text::Utf16ToUtf8(lines);
}

std::string TextureTable::TextOf(const TextureEntry& entry) {
    switch (entry.Lines) {
        case TextLines::OneCharacterPerLine: return OneCharacterPerLine(entry.Content);
        case TextLines::ReversedOneCharacterPerLine: return OneCharacterPerLine(Program::Reverse(entry.Content));
        default: return entry.Content;
    }
}

TextureTable TextureTable::Make(const Maker& make) {
    TextureTable table;
    table.made_.reserve(Count);
    for (const TextureEntry& entry : CreationOrder()) table.made_.push_back({entry.Slot, make(entry)});
    return table;
}

TextureTable::View TextureTable::MakeEntry(gpu::Device& device, gpu::DeviceContext& context,
                                           const TextureEntry& entry, std::span<const uint8_t> fontBytes) {
    switch (entry.Source) {
        case TextureSource::Svg:
            return Textures::FromSvg(device, context, Program::ReadGraphic(entry.Content), entry.SvgHeight);
        case TextureSource::Image:
            return Textures::FromImage(device, context, Program::ReadGraphic(entry.Content));
        case TextureSource::Text:
            return Textures::FromText(device, context, TextOf(entry), fontBytes, entry.FontSize, entry.LineSpacing,
                                      entry.Alignment);
    }
    throw InvalidOperationException("Unknown texture source.");
}

TextureTable TextureTable::Make(gpu::Device& device, gpu::DeviceContext& context,
                                std::span<const uint8_t> fontBytes) {
    return Make([&](const TextureEntry& entry) { return MakeEntry(device, context, entry, fontBytes); });
}

std::vector<TextureTable::View> TextureTable::SlotOrder() const {
    std::vector<View> views(Count);
    for (const Made& m : made_) views.at(m.Slot) = m.Texture;
    return views;
}

void TextureTable::Release() {
    while (!made_.empty()) {
        made_.back().Texture.reset();
        made_.pop_back();
    }
}

}  // namespace velk
