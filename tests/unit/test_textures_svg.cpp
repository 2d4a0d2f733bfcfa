#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/errors.h"
#include "textures/textures.h"

using velk::Textures;

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

Textures::TextureSize FitFor(const std::string& svg, int32_t height) {
    return Textures::FitSvgSize(Textures::ReadViewBoxSize(Bytes(svg)), height);
}

}  // namespace

TEST(TexturesSvgSize, FitsTheViewBoxAtAWholeWidth) {
    struct Case {
        const char* viewBox;
        int32_t height;
        float width, fittedHeight;
    } cases[] = {
        {"0 0 1191 839", 2048, 3573, 2517},  // the shipped logo: only multiples of 839 qualify
        {"0 0 16 9", 2048, 3648, 2052},
        {"0 0 4 3", 1000, 1336, 1002},
        {"0 0 100 50", 2048, 4096, 2048},
        {"10 20 300 200", 2048, 3072, 2048},  // the offsets play no part
        {"0,0,10,10", 2048, 2048, 2048},      // commas alone separate
        {"0 0 1000 997", 100, 100, 100},      // no whole width up to 150: rounded width at the height asked for
        {" 0 ,, 0  2.5e1,25 ", 10, 10, 10},   // empty pieces dropped, exponents read
    };
    for (const Case& c : cases) {
        std::string svg = std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"") + c.viewBox + "\"/>";
        Textures::TextureSize size = FitFor(svg, c.height);
        EXPECT_EQ(size.Width, c.width) << c.viewBox << " at " << c.height;
        EXPECT_EQ(size.Height, c.fittedHeight) << c.viewBox << " at " << c.height;
    }
}

TEST(TexturesSvgSize, FallbackRoundsHalvesToEven) {
    // Aspect 0.5 from height 5: 2.5 is no whole width, 6 x 0.5 = 3 is.
    EXPECT_EQ(Textures::FitSvgSize({1, 2}, 5).Height, 6.0f);
    // At height 1 only 1 is tried (3 x 1 / 2 = 1); the fallback rounds 2.5 to 2
    // and 3.5 to 4.
    EXPECT_EQ(Textures::FitSvgSize({2.5, 1}, 1).Width, 2.0f);
    EXPECT_EQ(Textures::FitSvgSize({3.5, 1}, 1).Width, 4.0f);
}

TEST(TexturesSvgSize, ReadsTheFirstViewBoxAnywhere) {
    // White space around "=", the leftmost match wins, whatever element it is in.
    auto size = Textures::ReadViewBoxSize(
        Bytes("<svg width=\"5\"><g viewBox \t=\n \"0 0 7 8\"/><svg viewBox=\"0 0 1 2\"/></svg>"));
    EXPECT_EQ(size.Width, 7);
    EXPECT_EQ(size.Height, 8);
    // An attribute that only ends in "viewBox" still matches; an unclosed value
    // is passed over for the next one.
    size = Textures::ReadViewBoxSize(Bytes("<svg xviewBox=\"0 0 3 4\">"));
    EXPECT_EQ(size.Width, 3);
    size = Textures::ReadViewBoxSize(Bytes("viewBox=x viewBox=\"0 0 5 6\""));
    EXPECT_EQ(size.Height, 6);
    // Malformed UTF-8 elsewhere is no failure.
    size = Textures::ReadViewBoxSize(Bytes("<svg \xff\xfe viewBox=\"0 0 9 10\">"));
    EXPECT_EQ(size.Width, 9);
}

TEST(TexturesSvgSize, Errors) {
    struct Case {
        const char* svg;
        const char* kind;
    } cases[] = {
        {"<svg width=\"100\" height=\"50\"/>", "InvalidDataException"},
        {"<svg viewBox='0 0 10 10'/>", "InvalidDataException"},
        {"<svg viewbox=\"0 0 10 10\"/>", "InvalidDataException"},  // case-sensitive
        {"<svg viewBox=\"0 0 10 10", "InvalidDataException"},      // no closing quote
        {"<svg viewBox=\"0 0 10px 10\"/>", "FormatException"},
        {"<svg viewBox=\"0\t0 10 10\"/>", "FormatException"},  // a tab is no separator
        {"<svg viewBox=\"0 0 10\"/>", "IndexOutOfRangeException"},
        {"<svg viewBox=\"\"/>", "IndexOutOfRangeException"},
    };
    for (const Case& c : cases) {
        try {
            Textures::ReadViewBoxSize(Bytes(c.svg));
            ADD_FAILURE() << "no error for " << c.svg;
        } catch (const velk::Exception& e) {
            EXPECT_STREQ(e.Kind(), c.kind) << c.svg;
            if (std::string(c.kind) == "InvalidDataException") {
                EXPECT_EQ(e.Message(), "The SVG has no viewBox.");
            }
        }
    }
}

TEST(TexturesSvgSize, ParseInvariant) {
    struct Case {
        const char* text;
        double value;
    } good[] = {
        {"0", 0},       {"1191", 1191},   {"-3.5", -3.5},  {"+2", 2},       {" \t7\n", 7},
        {"1e3", 1000},  {"2.5E-1", 0.25}, {".5", 0.5},     {"5.", 5},       {"-0.125e+2", -12.5},
        {"1e400", HUGE_VAL},
    };
    for (const Case& c : good) EXPECT_EQ(Textures::ParseInvariant(c.text), c.value) << c.text;
    const char* bad[] = {"", " ", "1,5", "1.2.3", "e5", "1e", "1e+", "--1", "+-1", "0x10", "1 2", "abc", ".", "1f",
                         "\xC2\xA0" "1"};
    for (const char* b : bad) EXPECT_THROW(Textures::ParseInvariant(b), velk::FormatException) << b;
}
