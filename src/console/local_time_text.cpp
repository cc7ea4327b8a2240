#include "console/local_time_text.h"

#include <cstring>

namespace vorn {

std::size_t format_local_time(std::time_t seconds, char (&out)[kLocalTimeTextSize]) {
    std::tm local{};
    std::size_t length = 0;
    if (localtime_r(&seconds, &local) != nullptr) {
        length = std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local);
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
