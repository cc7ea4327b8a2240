#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "module/default_invoker.h"
#include "trace/thread_id.h"

namespace vorn {

// The Python-facing owner of one scoped logger T (a trace or console scope).
// Constructing it opens the scope; close(), leaving a with block or
// destruction ends it, whichever comes first, exactly once. `logger` is null
// once the scope has ended. Every member runs with the GIL held.
template <typename T>
class PythonLogger {
public:
    // Opens a scope with `message`. The default invoker is derived from the
    // calling Python frame first, on every call, so a frame that cannot be
    // read fails the construction even when `invoker` is given. A missing
    // invoker or tid is replaced by that default and the calling thread's id.
    PythonLogger(const std::string& message, const std::optional<std::string>& invoker,
                 const std::string& file, std::uint32_t line, std::optional<std::int64_t> tid) {
        const std::string default_invoker = get_default_invoker();
        const std::int64_t thread_id = current_thread_id();
        const std::string& chosen_invoker = invoker ? *invoker : default_invoker;
        // The unsigned Python line reaches the signed field bit for bit.
        logger = std::make_unique<T>(chosen_invoker.c_str(), file.c_str(),
                                     static_cast<std::int32_t>(line),
                                     tid ? *tid : thread_id, "%s", message.c_str());
    }

    PythonLogger(PythonLogger&&) noexcept = default;
    PythonLogger& operator=(PythonLogger&&) noexcept = default;
    PythonLogger(const PythonLogger&) = delete;
    PythonLogger& operator=(const PythonLogger&) = delete;
    ~PythonLogger() = default;

    // Adds one record to the open scope; "logger is closed" once it has ended.
    // The message is never read as a format.
    void log(const std::string& message) {
        throw_if_closed();
        logger->log("%s", message.c_str());
    }

    // Ends the scope (writing its exit output) unless it has already ended.
    void close() noexcept { logger.reset(); }

    // Throws RuntimeError "logger is closed" when the scope has ended.
    void throw_if_closed() const {
        if (!logger) throw std::runtime_error("logger is closed");
    }

    std::unique_ptr<T> logger;
};

}  // namespace vorn
