#include "host/record_loop.h"

#include <charconv>
#include <limits>

namespace velk {

namespace {

bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
    return s;
}

[[noreturn]] void BadFormat(std::string_view text) {
    throw FormatException("The input string '" + std::string(text) + "' was not in a correct format.");
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

int32_t ParseInt32(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) BadFormat(text);
    // Beyond 2^31 the value only needs to be known to be too large.
    int64_t value = 0;
    for (char c : s) {
        if (!IsDigit(c)) BadFormat(text);
        if (value <= (int64_t(1) << 32)) value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
        throw OverflowException("Value was either too large or too small for an Int32: '" + std::string(text) + "'");
    return static_cast<int32_t>(value);
}

float ParseSingle(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (EqualsIgnoringCase(s, "Infinity"))
        return negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    if (EqualsIgnoringCase(s, "NaN")) return std::numeric_limits<float>::quiet_NaN();

    // The digits without separators, the position of the decimal point among them,
    // and the exponent.
    std::string digits;
    size_t i = 0, integerDigits = 0;
    while (i < s.size() && (IsDigit(s[i]) || (s[i] == ',' && !digits.empty()))) {
        if (s[i] != ',') digits += s[i];
        ++i;
    }
    integerDigits = digits.size();
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) digits += s[i++];
    }
    if (digits.empty()) BadFormat(text);
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativeExponent = s[i++] == '-';
        if (i == s.size() || !IsDigit(s[i])) BadFormat(text);
        for (; i < s.size() && IsDigit(s[i]); ++i)
            if (exponent < 1000000000000) exponent = exponent * 10 + (s[i] - '0');  // saturates: only its size matters then
        if (negativeExponent) exponent = -exponent;
    }
    if (i != s.size()) BadFormat(text);

    // Normalise to d.ddd e±x with the leading zeros dropped.
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return negative ? -0.0f : 0.0f;
    // The value is 0.D x 10^(magnitude) with D the digits from `first` on.
    int64_t magnitude = static_cast<int64_t>(integerDigits) - static_cast<int64_t>(first) + exponent;
    std::string normal = "0." + digits.substr(first) + "e" + std::to_string(magnitude);
    float value = 0;
    auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (ec == std::errc::result_out_of_range)
        value = magnitude > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    else if (ec != std::errc() || end != normal.data() + normal.size())
        BadFormat(text);
    return negative ? -value : value;
}

std::vector<int32_t> ParseSizeParts(std::string_view text) {
    std::vector<int32_t> parts;
    size_t start = 0;
    for (;;) {
        size_t x = text.find('x', start);
        std::string_view part = text.substr(start, x == std::string_view::npos ? std::string_view::npos : x - start);
        if (part.size() == text.size()) {
            parts.push_back(ParseInt32(part));
        } else {
            // A part of a longer value: the message names the value as typed too.
            const std::string in = "' in '" + std::string(text) + "'";
            try {
                parts.push_back(ParseInt32(part));
            } catch (const OverflowException&) {
                throw OverflowException("Value was either too large or too small for an Int32: '" + std::string(part) +
                                        in);
            } catch (const FormatException&) {
                throw FormatException("The input string '" + std::string(part) + in +
                                      " was not in a correct format.");
            }
        }
        if (x == std::string_view::npos) return parts;
        start = x + 1;
    }
}

std::string SingleText(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    if (value == 0) return std::signbit(value) ? "-0" : "0";
    // The shortest round-trip digits, as d.ddde±x.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(end - buf));
    std::string out;
    if (sci.front() == '-') {
        out = "-";
        sci.remove_prefix(1);
    }
    size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exponent = 0;
    std::string_view exponentText = sci.substr(e + 1);
    if (exponentText.front() == '+') exponentText.remove_prefix(1);
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

    if (exponent >= 9 || exponent < -4) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        std::string magnitude = std::to_string(exponent < 0 ? -exponent : exponent);
        if (magnitude.size() < 2) magnitude = "0" + magnitude;
        out += (exponent < 0 ? "E-" : "E+") + magnitude;
    } else if (exponent < 0) {
        out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    } else {
        size_t integer = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= integer) {
            out += digits + std::string(integer - digits.size(), '0');
        } else {
            out += digits.substr(0, integer) + "." + digits.substr(integer);
        }
    }
    return out;
}

std::string IntegerText(int64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, end);
}

std::string RoundedSecondsText(float seconds) {
    if (std::isnan(seconds)) return "NaN";
    if (std::isinf(seconds)) return seconds > 0 ? "Infinity" : "-Infinity";
    // Every whole number a float holds is written in full, also beyond 64 bits.
    double whole = std::round(static_cast<double>(seconds));
    if (whole == 0) return "0";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, whole, std::chars_format::fixed, 0);
    (void)ec;
    return std::string(buf, end);
}

}  // namespace velk
