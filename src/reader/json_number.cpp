#include "reader/json_number.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "reader/display_times.h"

namespace vorn::reader {

JsonNumber JsonNumber::operator+(const JsonNumber& other) const {
    if (integer && other.integer) return of_integer(whole + other.whole);
    return of_float(as_double() + other.as_double());
}

JsonNumber JsonNumber::operator-(const JsonNumber& other) const {
    if (integer && other.integer) return of_integer(whole - other.whole);
    return of_float(as_double() - other.as_double());
}

bool JsonNumber::operator>(const JsonNumber& other) const {
    if (integer && other.integer) return whole > other.whole;
    return as_double() > other.as_double();
}

JsonNumber microseconds(double ms) {
    std::int64_t thousandths = 0;
    bool exact = false;
    const double value = round_thousandths(ms * 1000.0, &thousandths, &exact);
    if (exact) {
        if (thousandths % 1000 == 0) return JsonNumber::of_integer(thousandths / 1000);
        return JsonNumber::of_float(value);
    }
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9.2e18) {
        return JsonNumber::of_integer(static_cast<std::int64_t>(value));
    }
    return JsonNumber::of_float(value);
}

void append_number(std::string& out, const JsonNumber& number) {
    if (!number.integer) {
        append_float(out, number.value);
        return;
    }
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, number.whole);
    out.append(text, result.ptr);
}

void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "Infinity" : "-Infinity";
        return;
    }
    // The shortest digits, then laid out as Python lays them out: fixed
    // for decimal exponents from -4 to 15, scientific otherwise.
    char text[40];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const std::string_view written(text, static_cast<std::size_t>(result.ptr - text));
    const std::size_t e = written.find('e');
    std::string_view mantissa = written.substr(0, e);
    const int exponent = std::atoi(std::string(written.substr(e + 1)).c_str());
    if (!mantissa.empty() && mantissa.front() == '-') {
        out.push_back('-');
        mantissa.remove_prefix(1);
    }
    char digits[32];
    std::size_t count = 0;
    for (const char c : mantissa) {
        if (c != '.' && count < sizeof digits) digits[count++] = c;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out.append(digits, count);
        } else if (static_cast<std::size_t>(point) >= count) {
            out.append(digits, count);
            out.append(static_cast<std::size_t>(point) - count, '0');
            out += ".0";
        } else {
            out.append(digits, static_cast<std::size_t>(point));
            out.push_back('.');
            out.append(digits + point, count - static_cast<std::size_t>(point));
        }
        return;
    }
    out.push_back(digits[0]);
    if (count > 1) {
        out.push_back('.');
        out.append(digits + 1, count - 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out.push_back('0');
    out += std::to_string(magnitude);
}

}  // namespace vorn::reader
