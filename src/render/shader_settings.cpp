#include "render/shader_settings.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "host/errors.h"

namespace velk {

namespace {

// The time-literal pattern, compiled once for the whole run.
const pcre2_code* TimePattern() {
    static const pcre2_code* const code = [] {
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* c = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(ShaderSettings::SecondsAndMilliseconds),
                                      PCRE2_ZERO_TERMINATED, PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
        if (!c) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(error, message, sizeof message);
            throw InvalidOperationException("The time-literal pattern does not compile: " +
                                            std::string(reinterpret_cast<char*>(message)));
        }
        pcre2_jit_compile(c, PCRE2_JIT_COMPLETE);  // optional: the interpreter is used when JIT is missing
        return c;
    }();
    return code;
}

// The text that a value error quotes: objects and arrays as written.
std::string ValueText(const JsonElement& e) {
    switch (e.Kind) {
        case JsonKind::True: return "True";
        case JsonKind::False: return "False";
        case JsonKind::Null: return "";
        default: return std::string(e.RawText);
    }
}

[[noreturn]] void ThrowValueError(const JsonElement& e) {
    throw InvalidDataException(std::string("can't turn ") + JsonReader::KindName(e.Kind) + " '" + ValueText(e) +
                               "' into HLSL.");
}

// Length in UTF-16 code units, as a string's length is counted in the settings
// language ("#rrggbb" is seven of them).
size_t Utf16Length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) n += (c >= 0xF0) ? 2 : 1;
    }
    return n;
}

bool IsNumberWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string ColourExpression(const std::string& s) {
    std::string_view hex = std::string_view(s).substr(1);
    size_t b = 0, e = hex.size();
    while (b < e && IsNumberWhite(hex[b])) ++b;
    while (e > b && IsNumberWhite(hex[e - 1])) --e;
    std::string_view digits = hex.substr(b, e - b);
    unsigned v = 0;
    bool ok = !digits.empty();
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else {
            ok = false;
            break;
        }
        v = v * 16 + d;
    }
    if (!ok) throw InvalidDataException("the colour '" + s + "' is not six hexadecimal digits after the '#'.");
    char buf[64];
    std::snprintf(buf, sizeof buf, "pow(float3(0x%02x, 0x%02x, 0x%02x) / 255.0, 2.2)", v >> 16, (v >> 8) & 255,
                  v & 255);
    return buf;
}

// Tells an overflow from an underflow for a number text that from_chars reported
// out of range: the power of ten of its first non-zero digit decides.
bool Overflows(std::string_view number) {
    size_t e = number.find_first_of("eE");
    std::string_view mantissa = number.substr(0, e);
    long long exponent = 0;
    if (e != std::string_view::npos) {
        size_t i = e + 1;
        bool negative = false;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
        for (; i < number.size(); ++i) exponent = std::min(exponent * 10 + (number[i] - '0'), 1000000000LL);
        if (negative) exponent = -exponent;
    }
    size_t point = mantissa.find('.');
    size_t intEnd = point == std::string_view::npos ? mantissa.size() : point;
    long long power = 0;
    bool found = false;
    for (size_t i = 0; i < mantissa.size() && !found; ++i) {
        char c = mantissa[i];
        if (c < '1' || c > '9') continue;
        power = i < intEnd ? static_cast<long long>(intEnd - i - 1) : -static_cast<long long>(i - intEnd);
        found = true;
    }
    return found && power + exponent >= 0;
}

std::string FormatDouble(double value) {
    std::string out = std::signbit(value) ? "-" : "";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    std::string_view sci(buf, r.ptr - buf);  // "d.ddde+XX", the shortest round-trip digits
    size_t ePos = sci.find('e');
    std::string digits(1, sci[0]);
    if (ePos > 1) digits.append(sci.substr(2, ePos - 2));
    int exponent = 0;
    std::string_view expText = sci.substr(ePos + 1);
    bool negativeExp = expText[0] == '-';
    std::from_chars(expText.data() + 1, expText.data() + expText.size(), exponent);
    if (negativeExp) exponent = -exponent;

    const int n = static_cast<int>(digits.size());
    const int s = exponent + 1;  // value = 0.(digits) x 10^s
    if (s < -3 || s > std::max(n, 17)) {
        out += digits[0];
        if (n > 1) out += "." + digits.substr(1);
        int shown = s - 1;
        out += shown < 0 ? "E-" : "E+";
        std::string e = std::to_string(shown < 0 ? -shown : shown);
        if (e.size() < 2) e.insert(0, "0");
        out += e;
    } else if (s <= 0) {
        out += "0." + std::string(-s, '0') + digits;
    } else if (s < n) {
        out += digits.substr(0, s) + "." + digits.substr(s);
    } else {
        out += digits + std::string(s - n, '0');
    }
    return out;
}

}  // namespace

std::string ShaderSettings::Apply(const std::string& shaderSource, const std::string& settingsText) {
    size_t at = shaderSource.find(Marker);
    if (at == std::string::npos)
        throw InvalidDataException("The shader has no //@settings line to put the settings at.");
    std::string declarations = ToHlsl(settingsText);
    std::string out;
    out.reserve(shaderSource.size() + declarations.size());
    out.append(shaderSource, 0, at);
    out += declarations;
    out.append(shaderSource, at + Marker.size());
    return out;
}

std::string ShaderSettings::ToHlsl(const std::string& settingsText) {
    JsonElement root = JsonReader::Parse(settingsText);
    if (root.Kind != JsonKind::Object) {
        static const char* const what[] = {"an object", "an array", "a string", "a number", "true", "false", "null"};
        throw InvalidDataException(std::string("The settings must be one JSON object, not ") +
                                   what[static_cast<int>(root.Kind)] + ".");
    }
    std::string out;
    for (const JsonMember& member : root.Members) {
        if (member.Value.Kind == JsonKind::Object) {
            for (const JsonMember& setting : member.Value.Members) AppendSetting(out, setting.Name, setting.Value);
        } else {
            AppendSetting(out, member.Name, member.Value);
        }
    }
    return out;
}

void ShaderSettings::AppendSetting(std::string& builder, const std::string& key, const JsonElement& value) {
    std::vector<std::string> words;
    for (size_t i = 0; i < key.size();) {
        size_t end = key.find(' ', i);
        if (end == std::string::npos) end = key.size();
        if (end > i) words.push_back(key.substr(i, end - i));
        i = end + 1;
    }
    if (words.empty()) throw InvalidDataException("The setting key '" + key + "' has no name.");
    const std::string type = words.size() == 2 ? words[0] : std::string();
    const std::string& name = words.back();
    auto typeOr = [&](const std::string& fallback) { return type.empty() ? fallback : type; };

    // Built apart and appended at the end, so that an error leaves the builder as it was.
    std::string declaration;
    try {
        switch (value.Kind) {
            case JsonKind::Number:
                AppendConst(typeOr("float"), name, NumberLiteral(value), declaration);
                break;
            case JsonKind::String:
                if (value.Value[0] == '#' && Utf16Length(value.Value) == 7)
                    AppendConst(typeOr("float3"), name, ColourExpression(value.Value), declaration);
                else
                    AppendConst(typeOr("float"), name, ReplaceTimes(value.Value), declaration);
                break;
            case JsonKind::Array: {
                const auto& elements = value.Elements;
                if (std::all_of(elements.begin(), elements.end(), IsScalar)) {
                    AppendConst(typeOr("float" + std::to_string(elements.size())), name, VectorLiteral(value),
                                declaration);
                } else if (std::all_of(elements.begin(), elements.end(), IsArray)) {
                    declaration += "static const " + typeOr("float" + std::to_string(elements[0].Elements.size())) +
                                   " " + name + "[" + std::to_string(elements.size()) + "] = { ";
                    for (size_t i = 0; i < elements.size(); ++i) {
                        if (i > 0) declaration += ", ";
                        declaration += VectorLiteral(elements[i]);
                    }
                    declaration += " }; ";
                } else {
                    ThrowValueError(value);
                }
                break;
            }
            default:
                ThrowValueError(value);
        }
    } catch (const InvalidDataException& e) {
        throw InvalidDataException("Setting " + name + ": " + e.what());
    }
    builder += declaration;
}

void ShaderSettings::AppendConst(const std::string& type, const std::string& name, const std::string& expression,
                                 std::string& builder) {
    builder += "static const " + type + " " + name + " = " + expression + "; ";
}

std::string ShaderSettings::NumberLiteral(const JsonElement& number) {
    if (number.Kind != JsonKind::Number) ThrowValueError(number);
    const std::string& text = number.Value;
    double value = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
        if (Overflows(text))
            throw InvalidDataException("the number " + text + " is beyond the range of a 64-bit floating-point value.");
        value = text[0] == '-' ? -0.0 : 0.0;  // too small: the nearest double is zero
    } else if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
        throw InvalidDataException("'" + text + "' is not a number.");
    }
    return FormatDouble(value);
}

std::string ShaderSettings::ReplaceTimes(const std::string& text) {
    const pcre2_code* code = TimePattern();
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> match(
        pcre2_match_data_create_from_pattern(code, nullptr), &pcre2_match_data_free);
    auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    std::string out;
    out.reserve(text.size());
    size_t copied = 0, offset = 0;
    // The first search checks that the whole text is valid UTF-8; the later ones
    // start at the end of a match, a character boundary of the checked text, and
    // skip the check, which would otherwise re-read the rest of the text each time.
    uint32_t options = 0;
    for (;; options = PCRE2_NO_UTF_CHECK) {
        int rc = pcre2_match(code, subject, text.size(), offset, options, match.get(), nullptr);
        if (rc == PCRE2_ERROR_NOMATCH) break;
        if (rc < 0) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(rc, message, sizeof message);
            throw InvalidDataException("the text '" + text + "' cannot be searched for times: " +
                                       std::string(reinterpret_cast<char*>(message)) + ".");
        }
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match.get());
        out.append(text, copied, ov[0] - copied);
        out += TimeToSeconds(std::string_view(text).substr(ov[2], ov[3] - ov[2]),
                             std::string_view(text).substr(ov[4], ov[5] - ov[4]));
        copied = offset = ov[1];
    }
    if (copied == 0) return text;
    out.append(text, copied);
    return out;
}

std::string ShaderSettings::TimeToSeconds(std::string_view seconds, std::string_view milliseconds) {
    auto literal = [&] { return std::string(seconds) + ":" + std::string(milliseconds); };
    auto ascii = [](std::string_view s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!ascii(seconds) || !ascii(milliseconds) || milliseconds.size() != 3)
        throw InvalidDataException("the time " + literal() + " is written with digits other than 0-9.");
    size_t firstDigit = seconds.find_first_not_of('0');
    std::string whole = firstDigit == std::string_view::npos ? "0" : std::string(seconds.substr(firstDigit));
    if (whole.size() > 10 || (whole.size() == 10 && whole > "2147483647"))
        throw InvalidDataException("the time " + literal() + " has more than 2147483647 seconds.");
    std::string fraction(milliseconds);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    return fraction.empty() ? whole : whole + "." + fraction;
}

std::string ShaderSettings::Component(const JsonElement& element) {
    if (element.Kind == JsonKind::String) return ReplaceTimes(element.Value);
    return NumberLiteral(element);
}

std::string ShaderSettings::VectorLiteral(const JsonElement& array) {
    if (array.Kind != JsonKind::Array) ThrowValueError(array);
    std::string out = "float" + std::to_string(array.Elements.size()) + "(";
    for (size_t i = 0; i < array.Elements.size(); ++i) {
        if (i > 0) out += ", ";
        out += Component(array.Elements[i]);
    }
    return out + ")";
}

bool ShaderSettings::IsScalar(const JsonElement& element) {
    return element.Kind == JsonKind::String || element.Kind == JsonKind::Number;
}

bool ShaderSettings::IsArray(const JsonElement& element) { return element.Kind == JsonKind::Array; }

}  // namespace velk
