#include "console/local_time_text.h"

#include <cstring>

namespace vorn {
namespace {

// Writes `value` (0 to 99) as two digits.
char* put_two_digits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

// The text strftime writes for "%Y-%m-%d %H:%M:%S" when the year has four
// digits, written directly: strftime's general machinery costs more than
// everything else in a console line together. Returns its length.
std::size_t put_four_digit_year_time(const std::tm& local, char* out) {
    const int year = local.tm_year + 1900;
    char* at = put_two_digits(out, year / 100);
    at = put_two_digits(at, year % 100);
    *at++ = '-';
    at = put_two_digits(at, local.tm_mon + 1);
    *at++ = '-';
    at = put_two_digits(at, local.tm_mday);
    *at++ = ' ';
    at = put_two_digits(at, local.tm_hour);
    *at++ = ':';
    at = put_two_digits(at, local.tm_min);
    *at++ = ':';
    at = put_two_digits(at, local.tm_sec);
    *at = '\0';
    return static_cast<std::size_t>(at - out);
}

}  // namespace

std::size_t format_local_time(std::time_t seconds, char (&out)[kLocalTimeTextSize]) {
    std::tm local{};
    std::size_t length = 0;
    if (localtime_r(&seconds, &local) != nullptr) {
        if (local.tm_year >= 1000 - 1900 && local.tm_year <= 9999 - 1900) {
            length = put_four_digit_year_time(local, out);
        } else {
            length = std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local);
        }
    }
    if (length == 0) {
        // Keep the header's shape even for a clock the library cannot read.
        static constexpr char kUnknownTime[] = "0000-00-00 00:00:00";
        std::memcpy(out, kUnknownTime, sizeof kUnknownTime);
        length = sizeof kUnknownTime - 1;
    }
    return length;
}

}  // namespace vorn
