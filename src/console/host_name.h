#pragma once

namespace vorn {

// The host name shown in console headers: read with gethostname once per
// process, on first use, under thread-safe one-time initialisation; "unknown"
// when the call fails. At most 255 bytes, NUL-terminated, never refreshed.
const char* console_host_name();

}  // namespace vorn
