#include "host/errors.h"

#include <cstdio>

namespace velk {

std::string HResultText(int32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(code));
    return buf;
}

void ThrowIfFailed(int32_t code, const std::string& what, const std::string& reason) {
    if (code >= 0) return;
    std::string msg = what + " failed: " + HResultText(code);
    if (!reason.empty()) msg += ": " + reason;
    throw ComException(msg, code);
}

}  // namespace velk
