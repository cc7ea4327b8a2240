#include "trace/log_file.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <pthread.h>
#include <unistd.h>

#include "trace/thread_id.h"

namespace vorn {
namespace {

// The calling thread's trace file, released by the thread-exit destructor,
// which closes the file and adds nothing to it.
struct LogFileState {
    std::unique_ptr<LogStream> log_stream;
    std::unique_ptr<std::string> current_log_file;
    ~LogFileState();
};

// Plain per-thread pointers (no destructor of their own) so that the fork
// handler can look at the state without creating it, and so that a late call
// during thread exit finds the state gone instead of touching freed memory.
thread_local LogFileState* this_thread_state = nullptr;
thread_local bool this_thread_state_gone = false;

LogFileState::~LogFileState() {
    this_thread_state = nullptr;
    this_thread_state_gone = true;
}

// pthread_atfork child handler: the child must never write into its parent's
// file, so the inherited stream is closed unwritten and the path forgotten;
// the child's next scope opens a file named after its own thread id.
void drop_inherited_log_file() {
    if (this_thread_state == nullptr) return;
    this_thread_state->log_stream.reset();
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

// The value of an environment variable, or `fallback` when it is not set
// (a variable set to "" stays "").
const char* env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// The system host name, at most 255 bytes; "" when it cannot be read.
std::string read_host_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
    return host;
}

}  // namespace

void ensure_log_file() {
    LogFileState* state = log_file_state();
    if (state == nullptr) return;
    if (state->log_stream && state->log_stream->is_open()) return;

    const char* root = env_or("VORN_LOG_DIR", "./vorn_logs");
    const char* prefix = env_or("VORN_LOG_PREFIX", "stl_");
    // Joined as plain text: a root ending in "/" gives "//" before "vorn".
    const std::string directory = std::string(root) + "/" + "vorn" + "/" + read_host_name();
    std::filesystem::create_directories(directory);  // throws before any change

    const std::string file_name = prefix + std::to_string(current_thread_id()) + ".log";
    // Path append: a prefix starting with "/" makes the file name absolute.
    std::string path = (std::filesystem::path(directory) / file_name).string();
    auto stream = std::make_unique<LogStream>(LogStream::open_truncated(path));
    auto name = std::make_unique<std::string>(std::move(path));
    state->log_stream = std::move(stream);
    state->current_log_file = std::move(name);
}

std::string get_log_file_name() {
    const LogFileState* state = this_thread_state;
    if (state == nullptr || !state->current_log_file) return {};
    return *state->current_log_file;
}

LogStream* current_log_stream() {
    LogFileState* state = log_file_state();
    return state != nullptr ? state->log_stream.get() : nullptr;
}

}  // namespace vorn
