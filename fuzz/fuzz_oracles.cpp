#include "fuzz_oracles.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vorn::fuzz {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The escaped form of one ASCII byte.
std::string escape_ascii(unsigned char byte) {
    switch (byte) {
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '"': return "\\\"";
        case '\\': return "\\\\";
        default: break;
    }
    if (byte < 0x20 || byte == 0x7F) {
        char escape[7];
        std::snprintf(escape, sizeof escape, "\\u%04x", byte);
        return escape;
    }
    return std::string(1, static_cast<char>(byte));
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// Recursive descent over RFC 8259; every string must be well-formed UTF-8.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    bool document(JsonValue& value) {
        skip_space();
        if (!parse_value(value, 0)) return false;
        skip_space();
        return at_ == text_.size();
    }

private:
    static constexpr int kDeepest = 200;

    bool parse_value(JsonValue& value, int depth) {
        if (depth > kDeepest || at_ >= text_.size()) return false;
        switch (text_[at_]) {
            case '{': return parse_object(value, depth);
            case '[': return parse_array(value, depth);
            case '"': value.kind = JsonValue::Kind::string; return parse_string(value.text);
            case 't': return literal(value, "true");
            case 'f': return literal(value, "false");
            case 'n': return literal(value, "null");
            default: return parse_number(value);
        }
    }

    bool parse_object(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::object;
        ++at_;
        skip_space();
        if (take('}')) return true;
        do {
            skip_space();
            JsonMember member;
            if (!peek('"') || !parse_string(member.first)) return false;
            skip_space();
            if (!take(':')) return false;
            skip_space();
            if (!parse_value(member.second, depth + 1)) return false;
            value.members.push_back(std::move(member));
            skip_space();
        } while (take(','));
        return take('}');
    }

    bool parse_array(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::array;
        ++at_;
        skip_space();
        if (take(']')) return true;
        do {
            skip_space();
            JsonValue item;
            if (!parse_value(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
            skip_space();
        } while (take(','));
        return take(']');
    }

    bool parse_string(std::string& out) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const auto byte = static_cast<unsigned char>(text_[at_]);
            if (byte == '"') {
                ++at_;
                return true;
            }
            if (byte < 0x20) return false;
            if (byte == '\\') {
                if (!parse_escape(out)) return false;
                continue;
            }
            const Utf8Unit unit = utf8_unit(text_.substr(at_));
            if (!unit.well_formed) return false;
            out.append(text_.substr(at_, unit.length));
            at_ += unit.length;
        }
        return false;
    }

    bool parse_escape(std::string& out) {
        if (at_ + 1 >= text_.size()) return false;
        const char kind = text_[at_ + 1];
        at_ += 2;
        switch (kind) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return false;
        }
        std::uint32_t unit = 0;
        if (!hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        return true;
    }

    bool hex4(std::uint32_t& value) {
        if (at_ + 4 > text_.size()) return false;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    bool parse_number(JsonValue& value) {
        value.kind = JsonValue::Kind::number;
        const std::size_t start = at_;
        take('-');
        if (take('0')) {
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits()) return false;
        if ((take('e') || take('E')) && ((take('+') || take('-')), !digits())) return false;
        value.text = std::string(text_.substr(start, at_ - start));
        return true;
    }

    bool digits() {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > start;
    }

    bool literal(JsonValue& value, std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        value.kind = JsonValue::Kind::literal;
        value.text = std::string(word);
        at_ += word.size();
        return true;
    }

    void skip_space() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
    bool take(char c) {
        if (!peek(c)) return false;
        ++at_;
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz oracle failed: %s\n", what);
    std::abort();
}

Utf8Unit utf8_unit(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) return {1, true};
    std::size_t expected = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (in_range(lead, 0xC2, 0xDF)) expected = 2;
    else if (lead == 0xE0) expected = 3, low = 0xA0;
    else if (lead == 0xED) expected = 3, high = 0x9F;
    else if (in_range(lead, 0xE1, 0xEF)) expected = 3;
    else if (lead == 0xF0) expected = 4, low = 0x90;
    else if (lead == 0xF4) expected = 4, high = 0x8F;
    else if (in_range(lead, 0xF1, 0xF3)) expected = 4;
    else return {1, false};
    for (std::size_t i = 1; i < expected; ++i) {
        if (i >= text.size()) return {i, false};
        const auto byte = static_cast<unsigned char>(text[i]);
        if (i == 1 ? !in_range(byte, low, high) : !in_range(byte, 0x80, 0xBF)) return {i, false};
    }
    return {expected, true};
}

std::vector<Piece> escaped_pieces(std::string_view text) {
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Unit unit = utf8_unit(text.substr(at));
        Piece piece{unit.length, unit.well_formed, {}, {}};
        if (!unit.well_formed) {
            piece.escaped = piece.decoded = kReplacement;
        } else if (unit.length == 1) {
            piece.escaped = escape_ascii(static_cast<unsigned char>(text[at]));
            piece.decoded = std::string(1, text[at]);
        } else {
            piece.escaped = piece.decoded = std::string(text.substr(at, unit.length));
        }
        pieces.push_back(std::move(piece));
        at += unit.length;
    }
    return pieces;
}

TextMatch match_text(std::string_view read_back, std::string_view raw) {
    TextMatch match;
    std::size_t decoded = 0;
    bool last_ill_formed = false;
    std::size_t last_start = 0;
    const std::vector<Piece> pieces = escaped_pieces(raw);
    std::size_t i = 0;
    for (; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        if (read_back.substr(decoded, piece.decoded.size()) != piece.decoded) break;
        last_start = match.consumed;
        last_ill_formed = !piece.well_formed;
        decoded += piece.decoded.size();
        match.consumed += piece.source_length;
        match.escaped += piece.escaped.size();
    }
    match.matches = decoded == read_back.size();
    match.whole = i == pieces.size();
    if (!match.whole) match.next_escaped = pieces[i].escaped.size();
    // An ill-formed stretch cut short still reads back as one U+FFFD, so
    // the text may have ended anywhere inside it: after its first byte at
    // the least, after the whole stretch at the most.
    match.consumed_most = match.consumed;
    if (last_ill_formed) match.consumed = last_start + 1;
    return match;
}

bool parse_json(std::string_view text, JsonValue& value) { return JsonReader(text).document(value); }

}  // namespace vorn::fuzz
