// A small JSON reader for the shader settings file.
//
// It reads standard JSON with the tolerances a hand-edited settings file needs:
// line comments ("//" to the end of the line) and block comments ("/*" to "*/")
// wherever white space may stand, a comma after the last member or element, and
// duplicate member names (kept, in document order). Nesting deeper than
// JsonReader::MaxDepth levels is an error. Numbers are kept as the text written in
// the document; every object and array remembers its text exactly as written (with
// its comments and line breaks), so that error messages can quote it.
//
// What it does not do: it builds no numbers (callers convert the number text), it
// accepts no byte-order mark, NaN, Infinity, single quotes or unquoted names, and it
// refuses invalid UTF-8 and unpaired surrogate escapes. Every syntax error is a
// JsonException whose message ends with the line and column (both counted from 1,
// columns in characters).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velk {

enum class JsonKind { Object, Array, String, Number, True, False, Null };

struct JsonMember;

struct JsonElement {
    JsonKind Kind = JsonKind::Null;
    // String: the value with its escapes resolved. Number: the number as written.
    std::string Value;
    // Object: the members in document order, duplicates included.
    std::vector<JsonMember> Members;
    // Array: the elements in order.
    std::vector<JsonElement> Elements;
    // The element's text exactly as written, a view into the parsed text (valid as
    // long as that text lives).
    std::string_view RawText;
};

struct JsonMember {
    std::string Name;  // escapes resolved
    JsonElement Value;
};

class JsonReader {
public:
    static constexpr int MaxDepth = 64;

    // Parses one JSON text. Raises JsonException on a syntax error.
    static JsonElement Parse(std::string_view text);

    // "Object", "Array", "String", "Number", "True", "False", "Null".
    static const char* KindName(JsonKind kind);
};

}  // namespace velk
