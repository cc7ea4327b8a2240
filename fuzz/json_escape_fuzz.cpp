// Fuzzes the escaping of texts for JSON strings and the two cuts that keep
// characters and escapes whole. The input's last bytes give the capacity
// (0-600) and the cut limit (0-700); the rest is the text.
//
// Every output is held to the references in fuzz_oracles: json_escape writes
// exactly the escaped pieces of a start of the text, as many as fit, never
// past `capacity`; escaped_cut_length cuts that output at the last piece
// boundary within the limit; utf8_cut_length never splits a character.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_oracles.h"
#include "trace/json_escape.h"
#include "trace/utf8_cut.h"

namespace {

using vorn::fuzz::Piece;
using vorn::fuzz::require;

// Escapes `text` into a buffer of exactly `capacity` bytes (so that the
// address sanitizer sees any byte written past it) and checks the result.
// Returns the output and the end of every piece in it.
std::string check_escape(const std::string& text, std::size_t capacity,
                         std::vector<std::size_t>& piece_ends) {
    const auto buffer = std::make_unique<char[]>(capacity);
    const std::size_t written =
        vorn::json_escape(text.data(), static_cast<std::int32_t>(text.size()), buffer.get(), capacity);
    if (capacity == 0) {
        require(written == 0, "nothing is written into no room");
        return {};
    }
    require(written + 1 <= capacity && buffer[written] == '\0', "output NUL-terminated in bounds");
    require(capacity < 2 || written <= capacity - 2, "at most capacity - 2 characters");
    const std::string output(buffer.get(), written);

    const std::vector<Piece> pieces = vorn::fuzz::escaped_pieces(text);
    std::size_t matched = 0, taken = 0;
    piece_ends.assign(1, 0);
    for (; taken < pieces.size(); ++taken) {
        const std::string& escaped = pieces[taken].escaped;
        if (output.compare(matched, escaped.size(), escaped) != 0) break;
        matched += escaped.size();
        piece_ends.push_back(matched);
    }
    require(matched == output.size(), "output is whole escaped pieces of the text's start");
    // A piece is left out only when it would not fit with room for the
    // longest escape and the NUL behind it.
    require(taken == pieces.size() || written + 7 + pieces[taken].escaped.size() > capacity,
            "escaping stops only where the bound does");
    return output;
}

void check_escaped_cut(const std::string& escaped, const std::vector<std::size_t>& piece_ends,
                       std::size_t limit) {
    const std::size_t cut = vorn::escaped_cut_length(escaped.data(), escaped.size(), limit);
    if (escaped.size() <= limit) {
        require(cut == escaped.size(), "a text within the limit is not cut");
        return;
    }
    const auto last = std::upper_bound(piece_ends.begin(), piece_ends.end(), limit) - 1;
    require(cut == *last, "cut at the last escape and character boundary within the limit");
}

// The start of the character or ill-formed stretch that position `at` of
// `text` falls into.
std::size_t unit_start(const std::string& text, std::size_t at) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t length = vorn::fuzz::utf8_unit(std::string_view(text).substr(start)).length;
        if (start + length > at) return start;
        start += length;
    }
    return start;
}

void check_utf8_cut(const std::string& text, std::size_t limit) {
    const std::size_t cut = vorn::utf8_cut_length(text.data(), text.size(), limit);
    if (text.size() <= limit) {
        require(cut == text.size(), "a text within the limit is not cut");
        return;
    }
    require(cut <= limit && cut + 3 >= limit, "cut at most three bytes before the limit");
    const std::size_t start = unit_start(text, cut);
    const bool splits = start < cut && vorn::fuzz::utf8_unit(std::string_view(text).substr(start)).well_formed;
    require(!splits, "no character is split");
    // Backing off is for characters only: it stops at a byte that leads a
    // sequence announced to reach past the limit.
    if (cut < limit) {
        const auto lead = static_cast<unsigned char>(text[cut]);
        const std::size_t announced = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        require(lead <= 0xF4 && cut + announced > limit,
                "backs off only to the lead byte of a character across the limit");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto capacity = input.ConsumeIntegralInRange<std::size_t>(0, 600);
    const auto limit = input.ConsumeIntegralInRange<std::size_t>(0, 700);
    const std::string text = input.ConsumeRemainingBytesAsString();

    std::vector<std::size_t> piece_ends;
    const std::string escaped = check_escape(text, capacity, piece_ends);
    if (capacity > 0) check_escaped_cut(escaped, piece_ends, limit);
    check_utf8_cut(text, limit);
    // Any bytes at all, not only escaped output, are cut without reading
    // past them.
    const std::size_t raw_cut = vorn::escaped_cut_length(text.data(), text.size(), limit);
    require(text.size() <= limit ? raw_cut == text.size() : raw_cut <= limit,
            "the cut of any bytes stays within them and the limit");
    return 0;
}
