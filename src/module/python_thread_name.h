#pragma once

namespace vorn {

// Before a trace scope is opened or written to: when the calling thread's
// trace file is not open yet, hands the trace writer the thread's name as
// Python knows it (threading.current_thread().name: "MainThread",
// "request-handler-000123"), which the system cuts to 15 bytes and, for the
// main thread, replaces by the program's. Costs a check of the open file
// once the file is open; only a thread's first scope (or one after its
// file could not be opened) runs any Python code.
//
// A thread Python did not start (one that threading would only know as a
// "Dummy-N") keeps its system name. Nothing here ever fails: a name that
// cannot be read is left out, and a pending Python error is kept as it was.
// Needs the GIL.
void give_python_thread_name() noexcept;

}  // namespace vorn
