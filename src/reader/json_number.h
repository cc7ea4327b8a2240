#pragma once

#include <cstdint>
#include <string>

namespace vorn::reader {

// A number as the exports write it: an integer, or a float written the way
// Python's repr writes it (the shortest digits that read back the same,
// "1234.5", "0.001", "1e-05", "1e+16", "3.0").
struct JsonNumber {
    bool integer = true;
    std::int64_t whole = 0;
    double value = 0;

    static JsonNumber of_integer(std::int64_t whole) { return {true, whole, static_cast<double>(whole)}; }
    static JsonNumber of_float(double value) { return {false, 0, value}; }
    double as_double() const { return integer ? static_cast<double>(whole) : value; }

    // Python's arithmetic: integers stay integers, anything else is a float.
    JsonNumber operator+(const JsonNumber& other) const;
    JsonNumber operator-(const JsonNumber& other) const;
    // Python's comparison of the two values.
    bool operator>(const JsonNumber& other) const;
};

// `ms` in microseconds to the nanosecond, a whole number as an integer:
// round(ms * 1000, 3), as an int when it is one.
JsonNumber microseconds(double ms);

void append_number(std::string& out, const JsonNumber& number);
void append_float(std::string& out, double value);

}  // namespace vorn::reader
