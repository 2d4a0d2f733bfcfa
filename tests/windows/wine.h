// Helpers for the Windows tests, which run under Wine on the build machine and on
// Windows itself.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace velk::test {

// True when the process runs under Wine (its ntdll exports wine_get_version).
inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace velk::test

// Skips the rest of a test under Wine, printing why; on Windows the test runs whole.
#define VELK_SKIP_UNDER_WINE(reason)                                     \
    do {                                                                 \
        if (::velk::test::RunningUnderWine()) GTEST_SKIP() << "Wine: " << (reason); \
    } while (0)
