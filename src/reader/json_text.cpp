#include "reader/json_text.h"

#include <array>
#include <vector>

#include "reader/utf8_text.h"

namespace vorn::reader {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A JSON text read from left to right; every step checks its bounds.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool at_end() const { return at_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[at_]; }
    void skip_space() {
        while (!at_end() && is_space(text_[at_])) ++at_;
    }
    bool take(char c) {
        if (peek() != c || at_end()) return false;
        ++at_;
        return true;
    }
    bool starts_with(std::string_view word) const { return text_.substr(at_, word.size()) == word; }
    bool take_word(std::string_view word) {
        if (!starts_with(word)) return false;
        at_ += word.size();
        return true;
    }

    // A string at the cursor, decoded into `out` when it is not null.
    bool string(std::string* out) {
        if (!take('"')) return false;
        while (true) {
            const std::size_t run = at_;
            while (!at_end() && text_[at_] != '"' && text_[at_] != '\\' &&
                   static_cast<unsigned char>(text_[at_]) >= 0x20) {
                ++at_;
            }
            if (out != nullptr) append_replacing(*out, text_.substr(run, at_ - run));
            if (at_end()) return false;
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') return false;  // a raw control character
            if (!escape(out)) return false;
        }
    }

    // A number at the cursor: whether it is an integer, and its value when
    // it is one that fits (`fits` false otherwise).
    bool number(bool& integer, bool& fits, bool& negative, std::uint64_t& magnitude) {
        negative = take('-');
        integer = true;
        fits = true;
        magnitude = 0;
        if (!is_digit(peek())) return false;
        if (peek() == '0') {
            ++at_;
        } else {
            while (is_digit(peek())) {
                const auto digit = static_cast<std::uint64_t>(text_[at_++] - '0');
                if (magnitude > (UINT64_MAX - digit) / 10) fits = false;
                if (fits) magnitude = magnitude * 10 + digit;
            }
        }
        if (peek() == '.') {
            ++at_;
            if (!is_digit(peek())) return false;
            while (is_digit(peek())) ++at_;
            integer = false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!is_digit(peek())) return false;
            while (is_digit(peek())) ++at_;
            integer = false;
        }
        return true;
    }

    // Any JSON value, checked and passed over; nesting is followed with a
    // stack of its own, so no input can exhaust the call stack.
    bool skip_value(std::vector<char>& open) {
        open.clear();
        while (true) {
            skip_space();
            const char c = peek();
            if (c == '{' || c == '[') {
                ++at_;
                skip_space();
                if (take(c == '{' ? '}' : ']')) {
                    if (!after_value(open)) return false;
                    if (open.empty()) return true;
                    continue;
                }
                open.push_back(c);
                if (c == '{' && !member_key()) return false;
                continue;
            }
            if (!scalar()) return false;
            if (!after_value(open)) return false;
            if (open.empty()) return true;
        }
    }

private:
    bool escape(std::string* out) {
        if (at_end()) return false;
        const char c = text_[at_++];
        char plain = 0;
        switch (c) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': break;
            default: return false;
        }
        if (c != 'u') {
            if (out != nullptr) out->push_back(plain);
            return true;
        }
        char32_t code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            const std::size_t mark = at_;
            at_ += 2;
            char32_t low = 0;
            if (!hex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
                at_ = mark;  // the next escape stands on its own
            }
        }
        if (out != nullptr) {
            if (code >= 0xD800 && code <= 0xDFFF) {
                out->append(kReplacement);
            } else {
                append_code_point(*out, code);
            }
        }
        return true;
    }

    bool hex4(char32_t& code) {
        if (text_.size() - at_ < 4) return false;
        for (int k = 0; k < 4; ++k) {
            const int value = hex_value(text_[at_++]);
            if (value < 0) return false;
            code = code * 16 + static_cast<char32_t>(value);
        }
        return true;
    }

    bool scalar() {
        const char c = peek();
        if (c == '"') return string(nullptr);
        if (take_word("true") || take_word("false") || take_word("null") || take_word("NaN") ||
            take_word("Infinity") || take_word("-Infinity")) {
            return true;
        }
        bool integer = false, fits = false, negative = false;
        std::uint64_t magnitude = 0;
        return number(integer, fits, negative, magnitude);
    }

    bool member_key() {
        skip_space();
        if (!string(nullptr)) return false;
        skip_space();
        return take(':');
    }

    // After a value inside containers: a comma and the next member or
    // element, or the containers' closing brackets.
    bool after_value(std::vector<char>& open) {
        while (!open.empty()) {
            skip_space();
            if (take(',')) {
                return open.back() != '{' || member_key();
            }
            if (!take(open.back() == '{' ? '}' : ']')) return false;
            open.pop_back();
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

constexpr std::array<std::string_view, 5> kInstantKeys = {"ts", "invoker", "file", "line", "args"};

}  // namespace

bool decode_string_literal(std::string_view literal, std::string& out) {
    Cursor cursor(literal);
    return cursor.string(&out) && cursor.at_end();
}

bool parse_instant_members(std::string_view body, InstantMembers& out) {
    Cursor cursor(body);
    thread_local std::string key;
    thread_local std::vector<char> open;
    cursor.skip_space();
    if (!cursor.take('{')) return false;
    std::size_t distinct = 0;
    std::array<std::int64_t*, 5> integers = {&out.ts, nullptr, nullptr, &out.line, nullptr};
    std::array<std::string*, 5> texts = {nullptr, &out.invoker, &out.file, nullptr, &out.args};
    std::array<bool, 5> typed = {};  // whether the key's last value had its type
    while (true) {
        cursor.skip_space();
        key.clear();
        if (!cursor.string(&key)) return false;
        std::size_t index = 0;
        while (index < kInstantKeys.size() && kInstantKeys[index] != key) ++index;
        if (index == kInstantKeys.size()) return false;  // a member the record has not
        if (index == distinct) {
            ++distinct;
        } else if (index > distinct) {
            return false;  // out of order
        }
        cursor.skip_space();
        if (!cursor.take(':')) return false;
        cursor.skip_space();
        if (texts[index] != nullptr) {
            texts[index]->clear();
            typed[index] = cursor.peek() == '"';
            if (typed[index] ? !cursor.string(texts[index]) : !cursor.skip_value(open)) return false;
        } else {
            const char c = cursor.peek();
            if (!(c == '-' || is_digit(c)) || cursor.starts_with("-Infinity")) {
                typed[index] = false;
                if (!cursor.skip_value(open)) return false;
            } else {
                bool integer = false, fits = false, negative = false;
                std::uint64_t magnitude = 0;
                if (!cursor.number(integer, fits, negative, magnitude)) return false;
                bool ok = integer && fits;
                if (index == 0) {
                    // Written unsigned: a clock set back wraps into the negative.
                    ok = ok && (!negative || magnitude == 0);
                    *integers[index] = static_cast<std::int64_t>(magnitude);
                } else {
                    ok = ok && magnitude <= (negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1);
                    *integers[index] = negative ? static_cast<std::int64_t>(0 - magnitude)
                                                : static_cast<std::int64_t>(magnitude);
                }
                typed[index] = ok;
            }
        }
        cursor.skip_space();
        if (cursor.take(',')) continue;
        if (!cursor.take('}')) return false;
        break;
    }
    cursor.skip_space();
    if (!cursor.at_end() || distinct != kInstantKeys.size()) return false;
    for (const bool ok : typed) {
        if (!ok) return false;
    }
    return true;
}

}  // namespace vorn::reader
