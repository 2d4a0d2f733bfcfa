// Shader settings: turns the settings file (JSON with comments) into HLSL
// `static const` declarations and splices them into the shader source at its
// "//@settings" marker.
//
// Pure text processing: no file access, no state between calls. The language:
// - the root is an object; a root member whose value is an object is a section
//   (its name is not used), every other root member and every member of a section
//   is a setting, translated in document order;
// - a key is split at blanks (U+0020 only): with exactly two words the first is
//   the HLSL type and the second the name, otherwise the last word is the name and
//   the value decides the type;
// - a number becomes a float with its shortest round-trip text; "#rrggbb" a float3
//   colour made linear with the exponent 2.2; any other string an expression in
//   which every time literal "s:mmm" becomes seconds; a list of n numbers or
//   strings a floatn vector; a list of lists an array of vectors.
// Every declaration ends with a blank and none holds a line break of its own, so
// the shader's later lines keep their numbers.
//
// Errors, none of which leaves partial output: a syntax error of the settings text
// is a JsonException; a shader without the marker, a value with no translation and
// every other input outside the language are InvalidDataException.
#pragma once

#include <string>
#include <string_view>

#include "render/json_reader.h"

namespace velk {

class ShaderSettings {
public:
    ShaderSettings() = delete;

    // The marker that the declarations replace (its first occurrence only).
    static constexpr std::string_view Marker = "//@settings";

    // A time literal: seconds, ":", three digits of milliseconds, with neither a
    // word character nor "." nor ":" on either side.
    static constexpr const char* SecondsAndMilliseconds =
        "(?<![\\p{L}\\p{Mn}\\p{Nd}\\p{Pc}.:])(\\p{Nd}+):(\\p{Nd}{3})(?![\\p{L}\\p{Mn}\\p{Nd}\\p{Pc}.:])";

    // The shader source with the translated settings in place of the first marker.
    static std::string Apply(const std::string& shaderSource, const std::string& settingsText);
    // All declarations of the settings text, concatenated.
    static std::string ToHlsl(const std::string& settingsText);

    // Appends the declaration of one setting.
    static void AppendSetting(std::string& builder, const std::string& key, const JsonElement& value);
    // Appends "static const <type> <name> = <expression>; ".
    static void AppendConst(const std::string& type, const std::string& name, const std::string& expression,
                            std::string& builder);
    // The text of a JSON number: the nearest double in its shortest round-trip digits.
    static std::string NumberLiteral(const JsonElement& number);
    // The text with every time literal replaced by its seconds.
    static std::string ReplaceTimes(const std::string& text);
    // The replacement of one time literal, given its two groups: "39", "500" -> "39.5".
    static std::string TimeToSeconds(std::string_view seconds, std::string_view milliseconds);
    // One vector component: a string with its times replaced, or a number's text.
    static std::string Component(const JsonElement& element);
    // "float<n>(<components>)" for an array of n numbers or strings.
    static std::string VectorLiteral(const JsonElement& array);
    static bool IsScalar(const JsonElement& element);
    static bool IsArray(const JsonElement& element);
};

}  // namespace velk
