#include "trace/safe_host_name.h"

#include <cstring>

namespace vorn {

void make_host_name_safe(char* name) noexcept {
    // "." and ".." would name the vorn directory itself or its parent.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        for (char* c = name; *c != '\0'; ++c) *c = '_';
        return;
    }
    for (char* c = name; *c != '\0'; ++c) {
        if (*c == '/') *c = '_';
    }
}

}  // namespace vorn
