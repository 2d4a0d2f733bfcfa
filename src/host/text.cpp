#include "host/text.h"

#include <charconv>
#include <cmath>
#include <cwctype>

namespace velk::text {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    auto cont = [&](size_t k) { return k < n && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80; };
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
            if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        } else if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            len = 4;
            if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

int CompareOrdinal(std::string_view a, std::string_view b) {
    std::u16string ua = Utf8ToUtf16(a), ub = Utf8ToUtf16(b);
    return ua.compare(ub);
}

namespace {
char16_t Upper(char16_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
    return static_cast<char16_t>(std::towupper(static_cast<wint_t>(c)));
}
}  // namespace

bool EqualsOrdinalIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

bool StartsWithOrdinalIgnoreCase(std::string_view s, std::string_view prefix) {
    std::u16string us = Utf8ToUtf16(s), up = Utf8ToUtf16(prefix);
    return us.size() >= up.size() && EqualsOrdinalIgnoreCase(std::u16string_view(us).substr(0, up.size()), up);
}

bool EndsWithOrdinalIgnoreCase(std::string_view s, std::string_view suffix) {
    std::u16string us = Utf8ToUtf16(s), uf = Utf8ToUtf16(suffix);
    return us.size() >= uf.size() &&
           EqualsOrdinalIgnoreCase(std::u16string_view(us).substr(us.size() - uf.size()), uf);
}

std::string FixedDecimals(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    if (decimals < 0) decimals = 0;
    // 15 significant digits: d.dddddddddddddde±x, the value being 0.(digits) x 10^point.
    char buffer[64];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific, 14);
    std::string_view sci(buffer, static_cast<size_t>(r.ptr - buffer));
    size_t e = sci.find('e');
    std::string digits = std::string(sci.substr(0, 1)) + std::string(sci.substr(2, e - 2));
    int exponent = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
    int point = exponent + 1;
    if (point < 0) {
        digits.insert(0, static_cast<size_t>(-point), '0');
        point = 0;
    }
    // Keep the digits up to the last decimal; the next one decides the rounding.
    size_t keep = static_cast<size_t>(point) + static_cast<size_t>(decimals);
    if (digits.size() < keep + 1) digits.append(keep + 1 - digits.size(), '0');
    bool up = digits[keep] >= '5';
    digits.resize(keep);
    if (up) {
        size_t i = digits.size();
        while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
        if (i == 0) {
            digits.insert(0, 1, '1');
            ++point;
        } else {
            ++digits[i - 1];
        }
    }
    std::string whole = digits.substr(0, static_cast<size_t>(point));
    std::string fraction = digits.substr(static_cast<size_t>(point));
    size_t first = whole.find_first_not_of('0');
    whole = first == std::string::npos ? "0" : whole.substr(first);
    bool zero = digits.find_first_not_of('0') == std::string::npos;
    return (std::signbit(value) && !zero ? "-" : "") + whole + (decimals > 0 ? "." + fraction : "");
}

}  // namespace velk::text
