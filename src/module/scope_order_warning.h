#pragma once

namespace vorn {

// How a trace scope was ended where it was not the innermost open scope of
// the thread that opened it. The writer always closes the innermost open
// scope of the calling thread, so the trace then shows another scope
// closed in its place.
enum class ScopeOrderFault {
    other_thread,    // closed on a thread other than its own
    not_innermost,   // closed on its thread while scopes opened after it were open, or after its own was closed
};

// Issues a RuntimeWarning for `fault`, at the innermost Python frame that is
// not the vorn package's own (the with statement or close() call that did
// it), once per such place in the process whatever the warning filters say.
// `dropped`: the logger was destroyed rather than closed. Never raises:
// when the filters turn the warning into an error, it goes to
// sys.unraisablehook; an exception already pending is kept. Nothing during
// interpreter shutdown, when module state is dropped in no useful order.
// Needs the GIL.
void warn_scope_closed_out_of_order(ScopeOrderFault fault, bool dropped) noexcept;

}  // namespace vorn
