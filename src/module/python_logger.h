#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <pthread.h>

#include "module/default_invoker.h"
#include "module/python_thread_name.h"
#include "trace/scope_text.h"
#include "trace/thread_id.h"

namespace vorn {

class JsonStlLogger;

// A text argument as Python passes it: a str as its UTF-8 bytes, bytes and
// bytearray byte for byte. str and bytes objects never change, so their
// bytes are seen where the object keeps them (the object outlives the call)
// with no copy; a bytearray could be resized by Python code that runs during
// the call (the default invoker's lookups may run some), so it is copied.
class TextArgument {
public:
    TextArgument() = default;

    // Bytes that stay put for the length of the call.
    static TextArgument borrowed(std::string_view bytes) {
        TextArgument argument;
        argument.view_ = bytes;
        return argument;
    }
    // Bytes that may change during the call.
    static TextArgument copied(std::string_view bytes) {
        TextArgument argument;
        argument.copy_.assign(bytes);
        argument.copied_ = true;
        return argument;
    }

    std::string_view bytes() const noexcept { return copied_ ? std::string_view(copy_) : view_; }

private:
    std::string_view view_;
    std::string copy_;
    bool copied_ = false;
};

// Copies of a call's texts, cut at the bounds the scopes read them to: 255
// bytes of invoker and file, 4095 of a message, each with 3 bytes more to see
// whether a cut splits a UTF-8 character. A copy cut there reads exactly like
// the whole text and needs neither the heap nor a terminator from the caller.
// They belong to the thread rather than the stack, which a call made deep
// inside a recursion has little of; they are filled only once every piece of
// Python code the call runs (the default invoker's lookup, which may itself
// log) has run, and used at once.
struct CallTexts {
    char invoker[kTextFieldSize + 3];
    char file[kTextFieldSize + 3];
    char message[kMessageBufferSize];
};

inline thread_local CallTexts this_thread_call_texts;

// Before a trace scope may open the thread's trace file: the thread's
// Python name for the file's identity. Console scopes open no file.
template <typename T>
void before_opening_output() noexcept {
    if constexpr (std::is_same_v<T, JsonStlLogger>) give_python_thread_name();
}

// Copies the first Size - 1 bytes of `text` into `buffer`, NUL-terminated.
//   bounded_copy(char[259], 300 x "a") => 258 x "a"
template <std::size_t Size>
const char* bounded_copy(char (&buffer)[Size], std::string_view text) noexcept {
    const std::size_t length = std::min(text.size(), Size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return buffer;
}

// The calling thread's id once read; 0 until then (no thread has id 0).
inline thread_local std::int64_t cached_calling_thread_id = 0;

// How many forks this process descends from, counted in each child: tells
// what the parent opened from what the child did.
inline std::uint64_t fork_generation = 0;

// In a forked child the one thread left has an id of its own.
inline void forget_calling_thread_id() {
    cached_calling_thread_id = 0;
    ++fork_generation;
}

// The calling thread's system thread id, as current_thread_id() reads it,
// read once per thread: it is a system call, and scopes open far more often
// than threads start.
inline std::int64_t calling_thread_id() {
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &forget_calling_thread_id) == 0;
    static_cast<void>(fork_handler_registered);
    if (cached_calling_thread_id == 0) cached_calling_thread_id = current_thread_id();
    return cached_calling_thread_id;
}

// The Python-facing owner of one scoped logger T (a trace or console scope).
// Constructing it opens the scope; close(), leaving a with block or
// destruction ends it, whichever comes first, exactly once. `logger` is null
// once the scope has ended. Every member runs with the GIL held, except
// that the scope's write system calls release it while they run.
//
// What the scope reads of its texts is copied to per-thread buffers, so a
// record costs no allocation besides the scope itself.
template <typename T>
class PythonLogger {
public:
    // Opens a scope with `message`. The default invoker is derived from the
    // calling Python frame first, on every call, so a frame that cannot be
    // read fails the construction even when `invoker` is given. A missing
    // invoker or tid is replaced by that default and the calling thread's id.
    PythonLogger(const TextArgument& message, const std::optional<TextArgument>& invoker,
                 const TextArgument& file, std::uint32_t line, std::optional<std::int64_t> tid) {
        const std::string default_invoker = get_default_invoker();
        before_opening_output<T>();
        const std::int64_t thread_id = calling_thread_id();
        CallTexts& texts = this_thread_call_texts;
        const char* chosen_invoker =
            bounded_copy(texts.invoker, invoker ? invoker->bytes() : std::string_view(default_invoker));
        const char* file_text = bounded_copy(texts.file, file.bytes());
        const char* message_text = bounded_copy(texts.message, message.bytes());
        // The unsigned Python line reaches the signed field bit for bit.
        logger = std::make_unique<T>(chosen_invoker, file_text, static_cast<std::int32_t>(line),
                                     tid ? *tid : thread_id, "%s", message_text);
    }

    PythonLogger(PythonLogger&&) noexcept = default;
    PythonLogger& operator=(PythonLogger&&) noexcept = default;
    PythonLogger(const PythonLogger&) = delete;
    PythonLogger& operator=(const PythonLogger&) = delete;
    ~PythonLogger() = default;

    // Adds one record to the open scope; "logger is closed" once it has ended.
    // The message is never read as a format.
    void log(const TextArgument& message) {
        // Reading the thread's name runs Python code, which might close
        // this logger: checked after it.
        before_opening_output<T>();
        throw_if_closed();
        // The scope's write lets other threads run; one of them may close this
        // logger meanwhile, so nothing of it is touched after the call.
        logger->log("%s", bounded_copy(this_thread_call_texts.message, message.bytes()));
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
