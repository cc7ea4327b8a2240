#pragma once

namespace vorn {

// Lets the writers release the interpreter lock around their blocking
// system calls (console writes and flushes, trace file writes), as os.write
// does, so that a blocked output stops only the thread writing to it. Call
// once, at import, with the interpreter lock held.
//
// A release happens only when it is safe: the calling thread holds the
// interpreter lock and the interpreter is not finalizing. Elsewhere (a
// thread's trace file written from its thread-exit destructor, after its
// thread state is gone) the call runs with nothing released.
//
// A blocking call that a signal interrupts runs the interpreter's signal
// handlers, as os.write does; an exception a handler raises (Ctrl-C's
// KeyboardInterrupt) ends the call and reaches its Python caller.
void install_interpreter_lock_release();

}  // namespace vorn
