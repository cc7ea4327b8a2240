#pragma once

#include <cstdint>

#include "trace/scope_text.h"

namespace vorn {

// One trace scope. Constructing it writes the scope's enter record into the
// calling thread's trace file, log() adds an instant record inside the
// innermost open scope of the thread (with none open there, the record
// becomes an element of the thread's top-level array), and destruction
// writes the exit record of that innermost scope. The writer's state belongs
// to the thread, not to the object: a scope should live and die on the
// thread that opened it. Only construction can throw; log() and destruction
// lose what a file that cannot be reached would have received.
//
// invoker and file are kept as at most 255 bytes each, messages as at most
// 4095 bytes; every cut keeps UTF-8 characters whole, and a text ends at its
// first NUL byte.
class JsonStlLogger {
public:
    // Throws std::filesystem::filesystem_error, writing nothing, when the
    // trace directory cannot be created.
    JsonStlLogger(const char* invoker, const char* file, std::int32_t line, std::int64_t tid,
                  const char* format, ...) __attribute__((format(printf, 6, 7)));
    ~JsonStlLogger();  // writes the exit record, never throws
    JsonStlLogger(const JsonStlLogger&) = delete;
    JsonStlLogger& operator=(const JsonStlLogger&) = delete;

    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    char invoker[kTextFieldSize];
    char file[kTextFieldSize];
    std::int32_t line;
    // Kept with the scope; no record carries it (the file name names the
    // writing thread).
    [[maybe_unused]] std::int64_t tid;
};

}  // namespace vorn
