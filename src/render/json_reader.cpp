#include "render/json_reader.h"

#include <cstdint>
#include <cstdio>

#include "host/errors.h"
#include "host/text.h"

namespace velk {

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    JsonElement Document() {
        SkipBlank();
        if (pos_ == text_.size()) Fail("The text holds no JSON value");
        JsonElement root = Value(0);
        SkipBlank();
        if (pos_ != text_.size()) Fail("Unexpected " + Found() + " after the end of the JSON value");
        return root;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;

    [[noreturn]] void Fail(const std::string& what) const { FailAt(what, pos_); }

    [[noreturn]] void FailAt(const std::string& what, size_t at) const {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < at && i < text_.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text_[i]);
            if (c == '\n') {
                ++line;
                column = 1;
            } else if ((c & 0xC0) != 0x80) {
                ++column;  // one per character, not per byte
            }
        }
        throw JsonException(what + " at line " + std::to_string(line) + ", column " + std::to_string(column) + ".");
    }

    // The character at the current position, for messages.
    std::string Found() const {
        if (pos_ >= text_.size()) return "end of the text";
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        if (c >= 0x21 && c < 0x7F) return std::string("character '") + static_cast<char>(c) + "'";
        char32_t cp = c;
        size_t len = 1;
        if (!DecodeUtf8(pos_, cp, len)) {
            static const char* hex = "0123456789ABCDEF";
            return std::string("byte 0x") + hex[c >> 4] + hex[c & 15];
        }
        char buf[16];
        std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
        return std::string("character ") + buf;
    }

    // Decodes one well-formed UTF-8 sequence (no overlong forms, no surrogates).
    bool DecodeUtf8(size_t at, char32_t& cp, size_t& len) const {
        auto byte = [&](size_t k) -> int {
            return at + k < text_.size() ? static_cast<unsigned char>(text_[at + k]) : -1;
        };
        int c = byte(0);
        auto cont = [&](size_t k) { int b = byte(k); return b >= 0 && (b & 0xC0) == 0x80; };
        if (c < 0) return false;
        if (c < 0x80) {
            cp = c;
            len = 1;
            return true;
        }
        if (c >= 0xC2 && c <= 0xDF && cont(1)) {
            cp = ((c & 0x1F) << 6) | (byte(1) & 0x3F);
            len = 2;
            return true;
        }
        if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
            cp = ((c & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
            len = 3;
            return cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            cp = ((c & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
            len = 4;
            return cp >= 0x10000 && cp <= 0x10FFFF;
        }
        return false;
    }

    bool At(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    // White space and comments.
    void SkipBlank() {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++pos_;
            } else if (c == '/') {
                size_t start = pos_;
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                    pos_ += 2;
                    while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
                } else if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
                    size_t end = text_.find("*/", pos_ + 2);
                    if (end == std::string_view::npos) FailAt("Unterminated comment", start);
                    pos_ = end + 2;
                } else {
                    Fail("Unexpected character '/' (a comment starts with // or /*)");
                }
            } else {
                break;
            }
        }
    }

    JsonElement Value(int depth) {
        JsonElement e;
        size_t start = pos_;
        if (pos_ >= text_.size()) Fail("Expected a value but found the end of the text");
        switch (text_[pos_]) {
            case '{':
                Object(e, depth + 1);
                break;
            case '[':
                Array(e, depth + 1);
                break;
            case '"':
                e.Kind = JsonKind::String;
                e.Value = String();
                break;
            case 't':
                Literal("true");
                e.Kind = JsonKind::True;
                break;
            case 'f':
                Literal("false");
                e.Kind = JsonKind::False;
                break;
            case 'n':
                Literal("null");
                e.Kind = JsonKind::Null;
                break;
            default:
                if (text_[pos_] == '-' || (text_[pos_] >= '0' && text_[pos_] <= '9')) {
                    e.Kind = JsonKind::Number;
                    Number();
                    e.Value = std::string(text_.substr(start, pos_ - start));
                } else {
                    Fail("Expected a value but found " + Found());
                }
        }
        e.RawText = text_.substr(start, pos_ - start);
        return e;
    }

    void Literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) Fail("Expected a value but found " + Found());
        pos_ += word.size();
    }

    void Number() {
        size_t start = pos_;
        auto digits = [&] {
            size_t from = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
            return pos_ - from;
        };
        if (At('-')) ++pos_;
        if (At('0')) {
            ++pos_;
        } else if (digits() == 0) {
            FailAt("Invalid number: a digit must follow '-'", start);
        }
        if (At('.')) {
            ++pos_;
            if (digits() == 0) Fail("Invalid number: a digit must follow the decimal point");
        }
        if (At('e') || At('E')) {
            ++pos_;
            if (At('+') || At('-')) ++pos_;
            if (digits() == 0) Fail("Invalid number: the exponent needs a digit");
        }
        if (pos_ < text_.size()) {
            char c = text_[pos_];
            if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_')
                Fail("Invalid number: unexpected " + Found());
        }
    }

    void CheckDepth(int depth) const {
        if (depth > JsonReader::MaxDepth)
            Fail("The nesting is deeper than " + std::to_string(JsonReader::MaxDepth) + " levels");
    }

    void Object(JsonElement& e, int depth) {
        CheckDepth(depth);
        e.Kind = JsonKind::Object;
        ++pos_;  // '{'
        SkipBlank();
        while (!At('}')) {
            if (!At('"')) Fail("Expected a member name in double quotes but found " + Found());
            JsonMember m;
            m.Name = String();
            SkipBlank();
            if (!At(':')) Fail("Expected ':' after the member name but found " + Found());
            ++pos_;
            SkipBlank();
            m.Value = Value(depth);
            e.Members.push_back(std::move(m));
            SkipBlank();
            if (At(',')) {
                ++pos_;
                SkipBlank();  // a '}' may follow: the trailing comma is allowed
            } else if (!At('}')) {
                Fail("Expected ',' or '}' after an object member but found " + Found());
            }
        }
        ++pos_;  // '}'
    }

    void Array(JsonElement& e, int depth) {
        CheckDepth(depth);
        e.Kind = JsonKind::Array;
        ++pos_;  // '['
        SkipBlank();
        while (!At(']')) {
            e.Elements.push_back(Value(depth));
            SkipBlank();
            if (At(',')) {
                ++pos_;
                SkipBlank();
            } else if (!At(']')) {
                Fail("Expected ',' or ']' after an array element but found " + Found());
            }
        }
        ++pos_;  // ']'
    }

    unsigned Hex4(size_t escapeStart) {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos_ >= text_.size()) FailAt("Invalid \\u escape: it needs four hexadecimal digits", escapeStart);
            char c = text_[pos_];
            unsigned d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else FailAt("Invalid \\u escape: it needs four hexadecimal digits", escapeStart);
            v = v * 16 + d;
            ++pos_;
        }
        return v;
    }

    std::string String() {
        size_t start = pos_;
        ++pos_;  // opening quote
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) FailAt("Unterminated string", start);
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c == '\\') {
                size_t escapeStart = pos_;
                ++pos_;
                if (pos_ >= text_.size()) FailAt("Unterminated string", start);
                char e = text_[pos_++];
                switch (e) {
                    case '"': out += '"'; break;
                    case '\\': out += '\\'; break;
                    case '/': out += '/'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    case 'u': {
                        char32_t cp = Hex4(escapeStart);
                        if (cp >= 0xD800 && cp <= 0xDBFF) {
                            if (text_.substr(pos_, 2) != "\\u")
                                FailAt("Unpaired surrogate in a \\u escape", escapeStart);
                            pos_ += 2;
                            char32_t low = Hex4(escapeStart);
                            if (low < 0xDC00 || low > 0xDFFF)
                                FailAt("Unpaired surrogate in a \\u escape", escapeStart);
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                            FailAt("Unpaired surrogate in a \\u escape", escapeStart);
                        }
                        text::AppendUtf8(out, cp);
                        break;
                    }
                    default:
                        --pos_;
                        FailAt("Invalid escape sequence '\\" + std::string(1, e) + "' in a string", escapeStart);
                }
                continue;
            }
            if (c < 0x20) Fail("Unescaped control " + Found() + " in a string");
            char32_t cp;
            size_t len;
            if (!DecodeUtf8(pos_, cp, len)) Fail("Invalid UTF-8 " + Found() + " in a string");
            out.append(text_.substr(pos_, len));
            pos_ += len;
        }
    }
};

}  // namespace

JsonElement JsonReader::Parse(std::string_view text) { return Parser(text).Document(); }

const char* JsonReader::KindName(JsonKind kind) {
    switch (kind) {
        case JsonKind::Object: return "Object";
        case JsonKind::Array: return "Array";
        case JsonKind::String: return "String";
        case JsonKind::Number: return "Number";
        case JsonKind::True: return "True";
        case JsonKind::False: return "False";
        case JsonKind::Null: return "Null";
    }
    return "Undefined";
}

}  // namespace velk
