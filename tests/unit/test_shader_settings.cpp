#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "render/shader_settings.h"

using velk::ShaderSettings;

namespace {

struct Translation {
    const char* settings;
    const char* declarations;
};

// Settings texts and the exact declarations they give.
const Translation kTranslations[] = {
    // The shipped file's own examples.
    {R"~({"Intro": {"LOGO_FADE_START": 2.0}})~", "static const float LOGO_FADE_START = 2; "},
    {R"~({"Music cues": {"ROTO_START": "13:900"}})~", "static const float ROTO_START = 13.9; "},
    {R"~({"Palette": {"VELK": "#754c29"}})~", "static const float3 VELK = pow(float3(0x75, 0x4c, 0x29) / 255.0, 2.2); "},
    {R"~({"Palette": {"float3 CREAM": "lerp(VELK, 1, 0.85)"}})~", "static const float3 CREAM = lerp(VELK, 1, 0.85); "},
    {R"~({"Tiles": {"TITLE_FADE_START": "ROTO_START - 3.5"}})~",
     "static const float TITLE_FADE_START = ROTO_START - 3.5; "},
    {R"~({"Zoom": {"Q9_DARK_SPOT": [0.80, 0.53]}})~", "static const float2 Q9_DARK_SPOT = float2(0.8, 0.53); "},
    {R"~({"Exit": {"EXIT_DIR": [[-1, 0.12], [0, 0], [1, 0.12]]}})~",
     "static const float2 EXIT_DIR[3] = { float2(-1, 0.12), float2(0, 0), float2(1, 0.12) }; "},
    {R"~({"Crew": {"T": "CREW_START + 1:500"}})~", "static const float T = CREW_START + 1.5; "},

    // Number text: shortest round-trip digits, plain or scientific.
    {R"~({"N": 0.80})~", "static const float N = 0.8; "},
    {R"~({"N": 1.0})~", "static const float N = 1; "},
    {R"~({"N": 90})~", "static const float N = 90; "},
    {R"~({"N": 10.0})~", "static const float N = 10; "},
    {R"~({"N": 0.00042})~", "static const float N = 0.00042; "},
    {R"~({"N": 0.0001})~", "static const float N = 0.0001; "},
    {R"~({"N": 0.00001})~", "static const float N = 1E-05; "},
    {R"~({"N": 1.5e-7})~", "static const float N = 1.5E-07; "},
    {R"~({"N": 1e16})~", "static const float N = 10000000000000000; "},
    {R"~({"N": 1e17})~", "static const float N = 1E+17; "},
    {R"~({"N": 123456789012345678})~", "static const float N = 1.2345678901234568E+17; "},
    {R"~({"N": 12345678901234567})~", "static const float N = 12345678901234568; "},
    {R"~({"N": 0.30000000000000004})~", "static const float N = 0.30000000000000004; "},
    {R"~({"N": 1E300})~", "static const float N = 1E+300; "},
    {R"~({"N": 1.7976931348623157e308})~", "static const float N = 1.7976931348623157E+308; "},
    {R"~({"N": 5e-324})~", "static const float N = 5E-324; "},
    {R"~({"N": 1e-400})~", "static const float N = 0; "},
    {R"~({"N": -1e-400})~", "static const float N = -0; "},
    {R"~({"N": 0e400})~", "static const float N = 0; "},
    {R"~({"N": -0})~", "static const float N = -0; "},
    {R"~({"N": -0.0})~", "static const float N = -0; "},
    {R"~({"N": -2.50})~", "static const float N = -2.5; "},
    {R"~({"N": 12.5e1})~", "static const float N = 125; "},
    {R"~({"int N": 5})~", "static const int N = 5; "},

    // Colours: only strings of exactly seven characters starting with "#".
    {R"~({"C": "#FFAA00"})~", "static const float3 C = pow(float3(0xff, 0xaa, 0x00) / 255.0, 2.2); "},
    {R"~({"C": "# ffaa0"})~", "static const float3 C = pow(float3(0x0f, 0xfa, 0xa0) / 255.0, 2.2); "},
    {R"~({"half4 C": "#010203"})~", "static const half4 C = pow(float3(0x01, 0x02, 0x03) / 255.0, 2.2); "},
    {R"~({"C": "#754c2"})~", "static const float C = #754c2; "},
    {R"~({"C": "#754c299"})~", "static const float C = #754c299; "},
    {R"~({"C": "#abcd\u00e9"})~", "static const float C = #abcd\xC3\xA9; "},  // six characters
    {R"~({"C": ["#754c29", 1]})~", "static const float2 C = float2(#754c29, 1); "},

    // Time literals: unchanged ones, then replaced ones.
    {R"~({"T": "1:2345"})~", "static const float T = 1:2345; "},
    {R"~({"T": "a1:500"})~", "static const float T = a1:500; "},
    {R"~({"T": "x.1:500"})~", "static const float T = x.1:500; "},
    {R"~({"T": "1:500.5"})~", "static const float T = 1:500.5; "},
    {R"~({"T": "1:500:000"})~", "static const float T = 1:500:000; "},
    {R"~({"T": "1:500_"})~", "static const float T = 1:500_; "},
    {R"~({"T": "\u00e91:500"})~", "static const float T = \xC3\xA9" "1:500; "},        // letter before
    {R"~({"T": "\u03011:500"})~", "static const float T = \xCC\x81" "1:500; "},        // non-spacing mark before
    {R"~({"T": "\u203f1:500"})~", "static const float T = \xE2\x80\xBF" "1:500; "},    // connector punctuation
    {R"~({"T": "\u00b21:500"})~", "static const float T = \xC2\xB2" "1.5; "},          // superscript two: no word char
    {R"~({"T": "00:250"})~", "static const float T = 0.25; "},
    {R"~({"T": "2:000"})~", "static const float T = 2; "},
    {R"~({"T": "007:050"})~", "static const float T = 7.05; "},
    {R"~({"T": "c?2:100"})~", "static const float T = c?2.1; "},
    {R"~({"T": "(1:500+2:250)*-3:001"})~", "static const float T = (1.5+2.25)*-3.001; "},
    {R"~({"T": "2147483647:999"})~", "static const float T = 2147483647.999; "},
    {R"~({"T": "0002147483647:000"})~", "static const float T = 2147483647; "},
    {R"~({"float2 T": ["1:500", "x + 0:010"]})~", "static const float2 T = float2(1.5, x + 0.01); "},

    // Keys: blanks only separate words; two words give a type.
    {R"~({"float2  A": [1, 2]})~", "static const float2 A = float2(1, 2); "},
    {R"~({" float2 A ": [1, 2]})~", "static const float2 A = float2(1, 2); "},
    {"{\"float2\\tA\": 1}", "static const float float2\tA = 1; "},
    {R"~({"a b C": 1})~", "static const float C = 1; "},
    {R"~({"float4 V": [1, 2, 3]})~", "static const float4 V = float3(1, 2, 3); "},

    // Arrays.
    {R"~({"R": [[1, 2], [3, 4, 5]]})~", "static const float2 R[2] = { float2(1, 2), float3(3, 4, 5) }; "},
    {R"~({"E": []})~", "static const float0 E = float0(); "},
    {R"~({"E": [[]]})~", "static const float0 E[1] = { float0() }; "},
    {R"~({"float3x2 M": [[1, 2]]})~", "static const float3x2 M[1] = { float2(1, 2) }; "},

    // Structure: sections, root settings, order, duplicates, comments, trailing commas.
    {R"~({})~", ""},
    {R"~({"a": {}, "b": {}})~", ""},
    {R"~({"A": 1, "S": {"B": 2, "C": 3}, "D": 4})~",
     "static const float A = 1; static const float B = 2; static const float C = 3; static const float D = 4; "},
    {R"~({"S": {"A": 1, "A": 2}, "T": {"A": 3}})~",
     "static const float A = 1; static const float A = 2; static const float A = 3; "},
    {"// header\n/* block */ { // after brace\n  \"S\" /* before colon */ : /* before value */ {\n"
     "    \"A\": [ /* c */ 1, // c\n 2, ], // trailing\n    \"B\": [[1,],[2,],],\n  }, /* end */\n} // done\n",
     "static const float2 A = float2(1, 2); static const float1 B[2] = { float1(1), float1(2) }; "},
    {R"~({"S": "line\nbreak \"q\" \u0041\/"})~", "static const float S = line\nbreak \"q\" A/; "},
};

TEST(ShaderSettingsTest, TranslatesEachCase) {
    for (const auto& c : kTranslations) {
        SCOPED_TRACE(c.settings);
        try {
            EXPECT_EQ(ShaderSettings::ToHlsl(c.settings), c.declarations);
        } catch (const velk::Exception& e) {
            ADD_FAILURE() << e.Kind() << ": " << e.what();
        }
    }
}

struct Failure {
    std::string settings;
    const char* kind;
    std::string message;  // empty: only the kind is checked
};

std::string Nested(int arrays) { return "{\"A\": " + std::string(arrays, '[') + std::string(arrays, ']') + "}"; }

const Failure kFailures[] = {
    // Values without a translation, quoted as written.
    {R"~({"S": {"float3 T": true}})~", "InvalidDataException", "Setting T: can't turn True 'True' into HLSL."},
    {R"~({"F": false})~", "InvalidDataException", "Setting F: can't turn False 'False' into HLSL."},
    {R"~({"N": null})~", "InvalidDataException", "Setting N: can't turn Null '' into HLSL."},
    {"{\"S\": {\"O\": {\n    \"a\": 1, // why\n    \"b\": [2]\n  },\n}}", "InvalidDataException",
     "Setting O: can't turn Object '{\n    \"a\": 1, // why\n    \"b\": [2]\n  }' into HLSL."},
    {R"~({"M": [1, [2] ]})~", "InvalidDataException", "Setting M: can't turn Array '[1, [2] ]' into HLSL."},
    {R"~({"M": [1, true]})~", "InvalidDataException", "Setting M: can't turn Array '[1, true]' into HLSL."},
    {R"~({"M": [{}, {}]})~", "InvalidDataException", "Setting M: can't turn Array '[{}, {}]' into HLSL."},
    {R"~({"R": [[1, true]]})~", "InvalidDataException", "Setting R: can't turn True 'True' into HLSL."},
    {R"~({"R": [[1, [2]]]})~", "InvalidDataException", "Setting R: can't turn Array '[2]' into HLSL."},
    // Inputs outside the language.
    {R"~([1, 2])~", "InvalidDataException", "The settings must be one JSON object, not an array."},
    {R"~("x")~", "InvalidDataException", "The settings must be one JSON object, not a string."},
    {R"~({"": 1})~", "InvalidDataException", "The setting key '' has no name."},
    {R"~({"S": {"   ": 1}})~", "InvalidDataException", "The setting key '   ' has no name."},
    {R"~({"C": "#12345g"})~", "InvalidDataException",
     "Setting C: the colour '#12345g' is not six hexadecimal digits after the '#'."},
    {R"~({"C": "#      "})~", "InvalidDataException", ""},
    {R"~({"C": "#ab cd "})~", "InvalidDataException", ""},
    {R"~({"N": 1e400})~", "InvalidDataException",
     "Setting N: the number 1e400 is beyond the range of a 64-bit floating-point value."},
    {R"~({"N": -1.7976931348623159e308})~", "InvalidDataException", ""},
    {R"~({"T": "2147483648:000"})~", "InvalidDataException",
     "Setting T: the time 2147483648:000 has more than 2147483647 seconds."},
    {R"~({"T": "\u0661:\u0665\u0660\u0660"})~", "InvalidDataException",
     "Setting T: the time \xD9\xA1:\xD9\xA5\xD9\xA0\xD9\xA0 is written with digits other than 0-9."},
    // The first error wins and nothing before it is returned.
    {R"~({"A": 1, "B": null, "C": true})~", "InvalidDataException", "Setting B: can't turn Null '' into HLSL."},
    // Syntax errors of the reader, with their position.
    {"", "JsonException", "The text holds no JSON value at line 1, column 1."},
    {"// only a comment\n/* and another */\n", "JsonException", "The text holds no JSON value at line 3, column 1."},
    {"{\n  \"a\": 1\n  \"b\": 2\n}", "JsonException",
     "Expected ',' or '}' after an object member but found character '\"' at line 3, column 3."},
    {"{\"a\": 1,,}", "JsonException", ""},
    {"{\"a\": [1,,]}", "JsonException", ""},
    {"{\"a\": 1} x", "JsonException", "Unexpected character 'x' after the end of the JSON value at line 1, column 10."},
    {"{\"a\": 1} /* open", "JsonException", "Unterminated comment at line 1, column 10."},
    {"{\"a\": 1 / 2}", "JsonException", ""},
    {"{a: 1}", "JsonException", ""},
    {"{'a': 1}", "JsonException", ""},
    {"{\"a\": 01}", "JsonException", ""},
    {"{\"a\": 1.}", "JsonException", ""},
    {"{\"a\": .5}", "JsonException", ""},
    {"{\"a\": +1}", "JsonException", ""},
    {"{\"a\": NaN}", "JsonException", ""},
    {"{\"a\": tru}", "JsonException", ""},
    {"{\"a\": \"x\ty\"}", "JsonException", ""},
    {"{\"a\": \"\\x\"}", "JsonException", ""},
    {"{\"a\": \"\\ud800\"}", "JsonException", ""},
    {"{\"a\": \"\\udc00\"}", "JsonException", ""},
    {"{\"a\": \"\xff\"}", "JsonException", ""},
    {"{\"a\": \"open}", "JsonException", ""},
    {std::string("{\"a\": 1}\0{", 10), "JsonException", ""},
    {"{\"a\": 1", "JsonException", ""},
    // Nesting: 64 levels are read (the value then has no translation), 65 are not.
    {Nested(63), "InvalidDataException", ""},
    {Nested(64), "JsonException", "The nesting is deeper than 64 levels at line 1, column 70."},
    {Nested(100000), "JsonException", ""},
};

TEST(ShaderSettingsTest, FailsWithoutOutput) {
    for (const auto& c : kFailures) {
        SCOPED_TRACE(c.settings.substr(0, 80));
        try {
            std::string out = ShaderSettings::ToHlsl(c.settings);
            ADD_FAILURE() << "no error; got: " << out;
        } catch (const velk::Exception& e) {
            EXPECT_STREQ(e.Kind(), c.kind) << e.what();
            if (!c.message.empty()) {
                EXPECT_EQ(e.what(), c.message);
            }
        }
    }
}

TEST(ShaderSettingsTest, ErrorsHaveTheKindsTheLoaderCatches) {
    EXPECT_THROW(ShaderSettings::ToHlsl("{"), velk::JsonException);
    EXPECT_THROW(ShaderSettings::ToHlsl(R"~({"A": true})~"), velk::InvalidDataException);
    EXPECT_THROW(ShaderSettings::Apply("no marker", "{}"), velk::InvalidDataException);
}

TEST(ShaderSettingsTest, ApplyReplacesOnlyTheFirstMarker) {
    const std::string shader = "Texture2D t0;\n//@settings keep\nfloat f() { return A; }\n//@settings\n";
    EXPECT_EQ(ShaderSettings::Apply(shader, R"~({"S": {"A": 1, "float2 B": [1, 2]}})~"),
              "Texture2D t0;\nstatic const float A = 1; static const float2 B = float2(1, 2);  keep\n"
              "float f() { return A; }\n//@settings\n");
    EXPECT_EQ(ShaderSettings::Apply("a//@settingsb", R"~({"a": {}})~"), "ab");
    EXPECT_EQ(ShaderSettings::Apply("//@settings", "{}"), "");
}

TEST(ShaderSettingsTest, ApplyWithoutMarkerFailsBeforeReadingTheSettings) {
    for (const char* shader : {"", "// @settings", "//@Settings", "/@settings"}) {
        try {
            ShaderSettings::Apply(shader, "{ broken");
            ADD_FAILURE() << "no error for " << shader;
        } catch (const velk::Exception& e) {
            EXPECT_STREQ(e.Kind(), "InvalidDataException");
            EXPECT_STREQ(e.what(), "The shader has no //@settings line to put the settings at.");
        }
    }
    // With the marker, the broken settings are the error.
    EXPECT_THROW(ShaderSettings::Apply("//@settings", "{ broken"), velk::JsonException);
}

TEST(ShaderSettingsTest, TranslatesTheShippedSettingsFile) {
    const char* dir = std::getenv("VELK_SOURCE_DIR");
    std::string path = std::string(dir ? dir : VELK_SOURCE_DIR) + "/Shaders/demo.hlsl.json";
    std::ifstream file(path, std::ios::binary);
    if (!file) GTEST_SKIP() << path << " is not there yet";
    std::stringstream text;
    text << file.rdbuf();

    std::string hlsl = ShaderSettings::ToHlsl(text.str());
    size_t count = 0;
    for (size_t at = hlsl.find("static const "); at != std::string::npos; at = hlsl.find("static const ", at + 1))
        ++count;
    EXPECT_EQ(count, 128u);
    EXPECT_EQ(hlsl.find('\n'), std::string::npos);
    EXPECT_EQ(hlsl.rfind("static const float3 VELK = pow(float3(0x75, 0x4c, 0x29) / 255.0, 2.2); ", 0), 0u);
    EXPECT_NE(hlsl.find("static const float ROTO_START = 13.9; "), std::string::npos);
    EXPECT_NE(hlsl.find("static const float2 EXIT_DIR[3] = { float2(-1, 0.12), float2(0, 0), float2(1, 0.12) }; "),
              std::string::npos);
    EXPECT_NE(hlsl.find("static const float4 CAN_HOPS[5] = { float4(1.25, 0.3, 0.55, 1.1), "), std::string::npos);
}

}  // namespace
