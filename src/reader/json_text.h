#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::reader {

// Decodes the JSON string literal `literal` (quotes included) into `out`,
// appending; false where a JSON reader would refuse it (a raw control
// character, a bad escape, text after the closing quote). Bytes that are
// not UTF-8 become U+FFFD, and so does an escaped surrogate without its
// other half, which no UTF-8 text can hold.
bool decode_string_literal(std::string_view literal, std::string& out);

// The members of an instant record line, as a JSON object: exactly the keys
// "ts", "invoker", "file", "line", "args" in that order (a key given twice
// keeps its first place and its last value, as a JSON object reads), "ts"
// and "line" integers, the others strings. The strings keep their capacity
// from one line to the next.
struct InstantMembers {
    std::int64_t ts = 0;  // as written: an unsigned 64-bit count, wrapped into int64
    std::string invoker;
    std::string file;
    std::int64_t line = 0;
    std::string args;
};

// Parses `body` (one JSON object, white space around it allowed) into
// `out`; false when it is not such a record, or when "ts" is negative or an
// integer is out of range.
bool parse_instant_members(std::string_view body, InstantMembers& out);

}  // namespace vorn::reader
