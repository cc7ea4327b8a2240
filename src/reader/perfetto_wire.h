#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::reader::perfetto {

// The protobuf wire format, as far as Perfetto's trace needs it: varints
// and length-delimited fields (strings and embedded messages), appended to
// a buffer the caller reuses.

enum class Wire : std::uint8_t { varint = 0, length = 2 };

inline void append_varint(std::string& out, std::uint64_t value) {
    while (value > 0x7F) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

inline void append_key(std::string& out, std::uint32_t field, Wire wire) {
    append_varint(out, std::uint64_t{field} << 3 | static_cast<std::uint64_t>(wire));
}

inline void append_uint(std::string& out, std::uint32_t field, std::uint64_t value) {
    append_key(out, field, Wire::varint);
    append_varint(out, value);
}

// A length-delimited field: a string's UTF-8 or an embedded message's bytes.
inline void append_bytes(std::string& out, std::uint32_t field, std::string_view payload) {
    append_key(out, field, Wire::length);
    append_varint(out, payload.size());
    out.append(payload);
}

}  // namespace vorn::reader::perfetto
