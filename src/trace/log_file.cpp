#include "trace/log_file.h"

#include <memory>

#include <pthread.h>

#include "trace/open_trace_descriptors.h"
#include "trace/thread_id.h"
#include "trace/trace_file_open.h"
#include "trace/trace_identity.h"

namespace vorn {
namespace {

// The calling thread's trace file, released by the thread-exit destructor,
// which closes the file and adds nothing to it.
struct LogFileState {
    std::unique_ptr<LogStream> log_stream;
    std::unique_ptr<std::string> current_log_file;
    // The descriptor log_stream holds, as registered with the open trace
    // descriptors; -1 when none.
    int descriptor = -1;
    ~LogFileState();
};

// Closes the thread's file, if it has one open: forgotten by the registry
// and closed in one hold of the lock, so that no fork sees the one without
// the other.
void close_log_stream(LogFileState& state) {
    if (state.descriptor < 0) {
        state.log_stream.reset();
        return;
    }
    TraceFilesLock lock;
    forget_trace_descriptor(state.descriptor);
    state.log_stream.reset();
    state.descriptor = -1;
}

// Plain per-thread pointers (no destructor of their own) so that the fork
// handler can look at the state without creating it, and so that a late call
// during thread exit finds the state gone instead of touching freed memory.
thread_local LogFileState* this_thread_state = nullptr;
thread_local bool this_thread_state_gone = false;

LogFileState::~LogFileState() {
    close_log_stream(*this);
    this_thread_state = nullptr;
    this_thread_state_gone = true;
}

// pthread_atfork child handler: the child must never write into its parent's
// file, so the inherited stream is closed unwritten and the path forgotten;
// the child's next scope opens a file named after its own thread id. The
// copies of the other threads' files are closed by the registry of open
// trace descriptors, which leaves this thread's to this handler; neither
// takes the lock, which the fork holds until the registry lets it go.
void drop_inherited_log_file() {
    if (this_thread_state == nullptr) return;
    this_thread_state->log_stream.reset();
    this_thread_state->descriptor = -1;
    this_thread_state->current_log_file.reset();
}

// The calling thread's state, created at first touch; nullptr once the thread
// has destroyed it.
LogFileState* log_file_state() {
    if (this_thread_state != nullptr || this_thread_state_gone) return this_thread_state;
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &drop_inherited_log_file) == 0;
    static_cast<void>(fork_handler_registered);
    thread_local LogFileState state;
    this_thread_state = &state;
    return this_thread_state;
}

}  // namespace

void ensure_log_file() {
    LogFileState* state = log_file_state();
    if (state == nullptr) return;
    if (state->log_stream && state->log_stream->is_open()) return;

    const std::int64_t thread_id = current_thread_id();
    // Opened and registered in one hold of the lock: a fork in between would
    // leave the child a copy nobody closes.
    TraceFilesLock lock;
    OpenedTraceFile opened = open_trace_file_for(thread_id);  // throws before any change
    // Labelled before its first byte, so a reader finds no file without it.
    attach_trace_identity(opened.fd.get(), thread_id, opened.host.c_str());
    const int descriptor = opened.fd.get();
    auto stream = std::make_unique<LogStream>(std::move(opened.fd));
    auto name = std::make_unique<std::string>(std::move(opened.path));
    register_trace_descriptor(descriptor);
    close_log_stream(*state);  // a stream that is not open
    state->log_stream = std::move(stream);
    state->descriptor = descriptor;
    state->current_log_file = std::move(name);
}

std::string get_log_file_name() {
    const LogFileState* state = this_thread_state;
    if (state == nullptr || !state->current_log_file) return {};
    return *state->current_log_file;
}

bool log_file_open_for_this_thread() noexcept {
    const LogFileState* state = this_thread_state;
    return state != nullptr && state->log_stream && state->log_stream->is_open();
}

LogStream* current_log_stream() {
    LogFileState* state = log_file_state();
    return state != nullptr ? state->log_stream.get() : nullptr;
}

}  // namespace vorn
