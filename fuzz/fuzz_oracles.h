#pragma once

// Independent references that the fuzz targets hold the trace writer to: a
// UTF-8 decoder, the escaped form of each character, and a strict JSON
// reader. They are written for clarity, not speed, and share no code with
// the writer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::fuzz {

// Stops the run with `what` when `condition` is false; libFuzzer keeps the
// input that did it.
void require(bool condition, const char* what);

// One character of a byte string as a UTF-8 decoder that replaces errors
// sees it: a well-formed sequence, or a maximal ill-formed subpart (at least
// one byte) that stands for one U+FFFD.
struct Utf8Unit {
    std::size_t length;
    bool well_formed;
};
Utf8Unit utf8_unit(std::string_view text);

// The units of `text`, one per character or ill-formed subpart, each with
// the bytes a JSON writer puts for it: the short or \u00XX escape of an
// ASCII byte that needs one, the character itself, or U+FFFD.
struct Piece {
    std::size_t source_length;
    bool well_formed;
    std::string escaped;
    std::string decoded;  // what a JSON reader gets back from `escaped`
};
std::vector<Piece> escaped_pieces(std::string_view text);

// How a text read back from a trace compares with the raw text it was made
// from, cut wherever the writer may cut it.
struct TextMatch {
    bool matches = false;       // read back == the decoded start of the raw text
    std::size_t consumed = 0;   // raw bytes that start covers (at the least)
    std::size_t consumed_most = 0;  // and at the most: see match_text
    std::size_t escaped = 0;    // bytes its escaped form takes
    bool whole = false;         // the raw text came back entire
    std::size_t next_escaped = 0;  // escaped size of the first piece left out
};
TextMatch match_text(std::string_view read_back, std::string_view raw);

// A JSON value as a strict reader (RFC 8259, UTF-8) sees it. Strings hold
// their decoded UTF-8 bytes, numbers their literal text.
struct JsonMember;
struct JsonValue {
    enum class Kind { object, array, string, number, literal } kind = Kind::literal;
    std::string text;
    std::vector<JsonMember> members;
    std::vector<JsonValue> items;
};
struct JsonMember {
    std::string first;  // the name
    JsonValue second;
};

// Parses `text` as one JSON document; false when it is not one.
bool parse_json(std::string_view text, JsonValue& value);

}  // namespace vorn::fuzz
