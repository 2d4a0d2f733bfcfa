// Text helpers: UTF-8 <-> UTF-16 conversion and ordinal comparisons.
// Strings are UTF-8 inside the program; code that works on UTF-16 code units
// (reversing, one character per line, ordinal sorting) converts at that point.
#pragma once

#include <string>
#include <string_view>

namespace velk::text {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// Ordinal comparison by UTF-16 code unit (as a sort key: negative, 0, positive).
int CompareOrdinal(std::string_view a, std::string_view b);
// Ordinal comparison ignoring case (simple upper-casing of each code unit).
bool EqualsOrdinalIgnoreCase(std::u16string_view a, std::u16string_view b);
bool StartsWithOrdinalIgnoreCase(std::string_view s, std::string_view prefix);
bool EndsWithOrdinalIgnoreCase(std::string_view s, std::string_view suffix);

// The value with exactly `decimals` decimals ("." as the point, no grouping): it is
// first taken to 15 significant digits, so that a binary value just below a
// decimal half (3.05 is 3.04999...) counts as the half, then rounded half away
// from zero. "-" only before a non-zero result; NaN gives "NaN", the infinities
// "Infinity" and "-Infinity".
std::string FixedDecimals(double value, int decimals);

}  // namespace velk::text
