// UTF-8 <-> UTF-16 for the Windows layers, whose calls take wide strings
// (wchar_t is a 16-bit code unit there). Invalid input becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "host/text.h"

namespace velk::text {

inline std::wstring Wide(std::string_view utf8) {
    std::u16string u = Utf8ToUtf16(utf8);
    return std::wstring(u.begin(), u.end());
}

inline std::string Narrow(std::wstring_view wide) {
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

}  // namespace velk::text
