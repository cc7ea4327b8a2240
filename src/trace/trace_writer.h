#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/clock.h"

namespace vorn {

// The calling thread's trace writer. Each thread's file is one JSON array of
// scope objects; each scope's "events" array holds its instant records and
// child scopes. The last element of the current array is written without its
// line end, which the next operation writes: ",\n" when another element
// follows it, "\n" when its array closes.
//
// Every operation composes its bytes in a per-thread buffer and hands them to
// the file in one write, which has reached the operating system when the
// operation returns. Texts are raw bytes; the writer escapes them. The write
// runs as a BlockingCall (the host's other threads may run meanwhile); the
// texts have been escaped into the thread's state before it, so a caller's
// texts are not read once it has begun.
//
// Each enter, instant and exit record whose bytes reached the file has its
// clock reading kept at full resolution in the file's companion (see
// precise_times_file.h), in file order; that costs no system call.

// Hard limits of the records.
inline constexpr std::size_t kInstantRecordLimit = 24830;  // line, indentation included
inline constexpr std::size_t kMessageEscapeCapacity = 24576;
inline constexpr std::size_t kIdentityEscapeCapacity = 512;

// Opens a scope: makes sure the file is open (throws
// std::filesystem::filesystem_error, changing nothing, when its directory
// cannot be created), opens or continues the top-level array, ends the
// element before it with ",", and writes the "{" line, the member lines and
// the "events" line.
void write_enter_record(const char* invoker, const char* file, std::int32_t line,
                        const char* message, std::size_t message_length);

// Writes an instant record, stamped `ts`, inside the innermost open scope,
// after ending the element before it with ",". The record is in the file
// when the call returns, only its line end waits for the next operation.
// With no scope open on the calling thread the record is an element of the
// top-level array, written the same way; when the thread ends with such a
// record last, the array is closed after it. Never throws: a file that
// cannot be reached loses the bytes it was due.
void write_instant_record(const ClockReading& ts, const char* invoker, const char* file,
                          std::int32_t line, const char* message, std::size_t message_length) noexcept;

// Closes the innermost open scope with exit time `ts_exit`; nothing when no
// scope is open on the calling thread. A file that cannot be reached loses
// the record; nothing is thrown.
void write_exit_record(const ClockReading& ts_exit) noexcept;

// How many scopes are open on the calling thread: 0 before its first, 2
// inside a scope inside another. A scope that was opened at depth n is the
// innermost one only while this is n. Creates no state.
std::int32_t open_scope_count() noexcept;

}  // namespace vorn
