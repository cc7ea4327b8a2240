#pragma once

#include <cstdint>

namespace vorn {

// Writes one instant record that names its caller, not a scope: for code
// that reports into the trace without opening a scope of its own (a
// logging handler, whose records say which function logged them). The
// record lands where JsonStlLogger::log puts one: inside the innermost scope
// open on the calling thread, or, with none open, as an element of the
// thread's top-level array; it gets its precise time in the companion like
// every record. No enter or exit record is written.
//
// invoker and file are kept as at most 255 bytes each, the message as at
// most 4095; every cut keeps UTF-8 characters whole, and a text ends at its
// first NUL byte. The texts are read before the write lets other threads
// run. A file that cannot be reached loses the record.
void write_caller_record(const char* invoker, const char* file, std::int32_t line, const char* message);

}  // namespace vorn
