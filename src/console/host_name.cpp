#include "console/host_name.h"

#include <cstring>

#include <unistd.h>

#include "trace/safe_host_name.h"

namespace vorn {
namespace {

struct HostName {
    char text[256];
};

HostName read_host_name() {
    HostName name{};
    if (gethostname(name.text, sizeof name.text) != 0) {
        std::strcpy(name.text, "unknown");
    }
    // gethostname need not terminate a name that fills the buffer.
    name.text[sizeof name.text - 1] = '\0';
    // The same name the trace directory is named after.
    make_host_name_safe(name.text);
    return name;
}

}  // namespace

const char* console_host_name() {
    static const HostName cached = read_host_name();
    return cached.text;
}

}  // namespace vorn
