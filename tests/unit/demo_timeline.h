// The demo's end-time chain computed on the CPU from the settings file, for tests
// that check what the shader's EndTime gives. Reads the settings that the chain
// uses; each must be a number or a plain time ("90:433").
#pragma once

#include <charconv>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/json_reader.h"
#include "render/shader_settings.h"

namespace velk::test {

struct DemoEnd {
    double PlasmaOutStart = 0;
    double FinalFadeStart = 0;
    double DemoEnd = 0;
};

class DemoTimeline {
public:
    explicit DemoTimeline(const std::string& settingsText) : text_(settingsText) {
        JsonElement root = JsonReader::Parse(text_);
        for (const JsonMember& member : root.Members) {
            if (member.Value.Kind == JsonKind::Object)
                for (const JsonMember& setting : member.Value.Members) Add(setting);
            else
                Add(member);
        }
    }

    // The value of a scalar setting; throws when it is not a plain number or time.
    double Value(const std::string& name) const {
        auto it = settings_.find(name);
        if (it == settings_.end()) throw std::runtime_error("no setting " + name);
        return Number(it->second);
    }

    // The value of a setting that is a number, a time, or a sum and difference of
    // those and of other such settings ("TUNNEL_START + 8.0").
    double Expression(const std::string& name) const {
        auto it = settings_.find(name);
        if (it == settings_.end()) throw std::runtime_error("no setting " + name);
        if (it->second.Kind != JsonKind::String) return Number(it->second);
        std::string text = ShaderSettings::ReplaceTimes(it->second.Value);
        double total = 0, sign = 1;
        size_t at = 0;
        while (at < text.size()) {
            char c = text[at];
            if (c == ' ') {
                ++at;
            } else if (c == '+' || c == '-') {
                sign = c == '-' ? -1 : 1;
                ++at;
            } else {
                size_t end = text.find_first_of(" +-", at);
                if (end == std::string::npos) end = text.size();
                std::string term = text.substr(at, end - at);
                double value = 0;
                auto [stop, error] = std::from_chars(term.data(), term.data() + term.size(), value);
                if (error != std::errc() || stop != term.data() + term.size()) value = Expression(term);
                total += sign * value;
                sign = 1;
                at = end;
            }
        }
        return total;
    }

    // The chain for a scroll line of ws x hs texels and columns hu and hd texels high.
    DemoEnd End(double ws, double hs, double hu, double hd) const {
        const double height = Value("SCROLL_HEIGHT"), speed = Value("SCROLL_SPEED");
        double scrollWritten = Value("SCROLL_START") + ws / hs * height / speed;
        double upStart = scrollWritten - Value("SCROLL_LEAD");
        double downStart = upStart + hu * height / hs / speed - Value("SCROLL_DOWN_LEAD");
        DemoEnd end;
        end.PlasmaOutStart = downStart + hd * height / hs / speed + 1 / speed;

        double hops = 0;
        const JsonElement& rows = settings_.at("CAN_HOPS");
        if (rows.Elements.size() != 5) throw std::runtime_error("CAN_HOPS needs five rows");
        for (const JsonElement& row : rows.Elements) hops += Number(row.Elements.at(3));

        double canEnd = end.PlasmaOutStart + Value("PLASMA_OUT") + Value("CAN_DELAY") + hops;
        double velktOutStart = canEnd + Value("VELKT_DELAY") + Value("VELKT_FADE") + Value("VELKT_HOLD");
        double pictureStart = velktOutStart + Value("VELKT_OUT");
        double creditsOutStart = pictureStart + Value("PICTURE_FADE") + Value("CREDIT_HOLD");
        end.FinalFadeStart = creditsOutStart + Value("CREDIT_OUT") + Value("PICTURE_HOLD");
        end.DemoEnd = end.FinalFadeStart + Value("FINAL_FADE");
        return end;
    }

private:
    void Add(const JsonMember& setting) {
        std::string name = setting.Name;
        if (size_t blank = name.rfind(' '); blank != std::string::npos) name = name.substr(blank + 1);
        settings_[name] = setting.Value;
    }

    static double Number(const JsonElement& element) {
        std::string text = element.Kind == JsonKind::String ? ShaderSettings::ReplaceTimes(element.Value)
                                                            : element.Value;
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size())
            throw std::runtime_error("not a plain number: " + text);
        return value;
    }

    std::string text_;  // the parsed elements view into it
    std::map<std::string, JsonElement> settings_;
};

}  // namespace velk::test
