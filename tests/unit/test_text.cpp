// Text helpers: fixed decimals as the "Music:" line and the aspect labels write them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/text.h"

using velk::text::FixedDecimals;

TEST(FixedDecimals, FifteenDigitsThenHalvesAwayFromZero) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        int decimals;
        const char* text;
    } cases[] = {
        {3.05, 1, "3.1"},     // binary 3.04999...: a half at 15 digits
        {0.25, 1, "0.3"},     {0.24999, 1, "0.2"},   {1.125, 2, "1.13"},  {1.005, 2, "1.01"},
        {-2.25, 1, "-2.3"},   {-0.04, 1, "0.0"},     {-0.0, 1, "0.0"},    {0.0, 2, "0.00"},
        {9.96, 1, "10.0"},    {99.995, 2, "100.00"}, {0.96, 0, "1"},      {0.4, 0, "0"},
        {1.0 / 3.0, 2, "0.33"}, {0.0004, 1, "0.0"},  {1e-300, 1, "0.0"},  {1e20, 1, "100000000000000000000.0"},
        {123456.7891, 3, "123456.789"},             {std::nan(""), 1, "NaN"}, {inf, 2, "Infinity"},
        {-inf, 1, "-Infinity"},
    };
    for (const Case& c : cases) EXPECT_EQ(FixedDecimals(c.value, c.decimals), c.text) << c.value;
}
