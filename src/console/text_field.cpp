#include "console/text_field.h"

#include <cstring>

#include "trace/utf8_cut.h"

namespace vorn {

void store_text_field(char (&field)[kTextFieldSize], const char* text) {
    std::memset(field, 0, sizeof field);
    if (text == nullptr) return;
    const std::size_t length = utf8_cut_length(text, std::strlen(text), kTextFieldSize - 1);
    std::memcpy(field, text, length);
}

}  // namespace vorn
