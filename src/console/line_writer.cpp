#include "console/line_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vorn {

void LineWriter::append(const char* data, std::size_t length) {
    if (length == 0) return;
    if (length > kCapacity - used_) {
        drain();
        if (length > kCapacity) {
            std::fwrite(data, 1, length, stdout);
            return;
        }
    }
    std::memcpy(buffer_ + used_, data, length);
    used_ += length;
}

void LineWriter::append_repeated(char byte, std::size_t count) {
    while (count > 0) {
        if (used_ == kCapacity) drain();
        const std::size_t run = std::min(count, kCapacity - used_);
        std::memset(buffer_ + used_, byte, run);
        used_ += run;
        count -= run;
    }
}

void LineWriter::finish() {
    drain();
    std::fflush(stdout);
}

void LineWriter::drain() {
    if (used_ == 0) return;
    std::fwrite(buffer_, 1, used_, stdout);
    used_ = 0;
}

}  // namespace vorn
