// The native floor: what one trace scope (enter record, one instant record,
// exit record) and one console line cost, against write(2) of exactly the
// same bytes to the same kind of file and a flushed-per-record spdlog file
// logger. Every benchmark also reports the heap allocations it made per
// operation, counted by the replacement operator new below.
//
// Run by bench/run.py; on its own:
//   vorn_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "console/console_line.h"
#include "console/stdout_logger_options.h"
#include "trace/json_stl_logger.h"
#include "trace/log_file.h"
#include "trace/thread_id.h"
#include "trace/unique_fd.h"

// Every heap allocation of the process, counted.
namespace {
std::atomic<std::uint64_t> allocations{0};

void* counted_allocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

namespace fs = std::filesystem;

// The directory every file of this run goes to: trace files, the write(2)
// and spdlog peers' files and the console's stdout file. Removed at exit.
const fs::path& bench_directory() {
    static const fs::path directory = [] {
        std::string pattern = (fs::temp_directory_path() / "vorn-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return fs::path(pattern);
    }();
    return directory;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

vorn::UniqueFd create_file(const std::string& name) {
    const std::string path = (bench_directory() / name).string();
    vorn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) throw std::runtime_error("cannot create " + path);
    return fd;
}

void write_all(int fd, std::string_view bytes) {
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("short write");
    }
}

// The operation measured for the trace: the worked example's scope A with its
// one instant record.
void trace_scope() {
    vorn::JsonStlLogger scope("main", "job.py", 10, vorn::current_thread_id(), "%s", "load");
    scope.log("%s", "x");
}

// The bytes one trace_scope() hands to the file once the thread's array has
// begun: the enter write (",\n" over the closing "]\n", then the record up to
// its "events" line) and the exit write (the held instant record, the closing
// lines and "]\n").
struct ScopeBytes {
    std::string enter;
    std::string exit;
};

const ScopeBytes& scope_bytes() {
    static const ScopeBytes bytes = [] {
        trace_scope();  // the array has begun: later scopes overwrite its "]"
        const std::string path = vorn::get_log_file_name();
        const std::size_t before = read_file(path).size();
        trace_scope();
        const std::string written = read_file(path).substr(before - 2);
        constexpr std::string_view events = "\"events\": [\n";
        const std::size_t split = written.find(events) + events.size();
        return ScopeBytes{written.substr(0, split), written.substr(split)};
    }();
    return bytes;
}

void report_allocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs_per_op"] = benchmark::Counter(
        static_cast<double>(allocations.load(std::memory_order_relaxed) - before),
        benchmark::Counter::kAvgIterations);
}

void trace_scope_ours(benchmark::State& state) {
    static_cast<void>(scope_bytes());
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) trace_scope();
    report_allocations(state, before);
    state.counters["writes_per_op"] = 2;
}

void trace_scope_write_same_bytes(benchmark::State& state) {
    const ScopeBytes& bytes = scope_bytes();
    const vorn::UniqueFd fd = create_file("write.log");
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        write_all(fd.get(), bytes.enter);
        write_all(fd.get(), bytes.exit);
    }
    report_allocations(state, before);
    state.counters["writes_per_op"] = 2;
}

// The same bytes at the offsets the trace writer uses: the enter record over
// the file's last two bytes, the exit record at its end. The writer uses
// pwrite because it rewrites that tail; this row shows what pwrite itself
// costs next to write.
void trace_scope_pwrite_same_bytes(benchmark::State& state) {
    const ScopeBytes& bytes = scope_bytes();
    const vorn::UniqueFd fd = create_file("pwrite.log");
    write_all(fd.get(), "[\n");
    off_t length = 2;
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        length -= 2;
        for (const std::string* part : {&bytes.enter, &bytes.exit}) {
            if (::pwrite(fd.get(), part->data(), part->size(), length) != static_cast<ssize_t>(part->size())) {
                state.SkipWithError("short pwrite");
                return;
            }
            length += static_cast<off_t>(part->size());
        }
    }
    report_allocations(state, before);
    state.counters["writes_per_op"] = 2;
}

// spdlog with a time-stamped pattern, flushed after every record, writing the
// scope as three lines whose lengths add up to the scope's bytes: the enter
// record, the instant record and the rest of the exit write.
void trace_scope_spdlog(benchmark::State& state) {
    const ScopeBytes& bytes = scope_bytes();
    const std::size_t instant = bytes.exit.find('\n') + 1;
    constexpr std::size_t kStampAndNewline = 24 + 1;  // "YYYY-MM-DD HH:MM:SS.mmm " and "\n"
    auto payload = [](std::string text, std::size_t line_length) {
        for (char& c : text) c = c == '\n' ? ' ' : c;
        text.resize(line_length - kStampAndNewline, ' ');
        return text;
    };
    const std::string enter = payload(bytes.enter, bytes.enter.size());
    const std::string record = payload(bytes.exit.substr(0, instant), instant);
    const std::string exit = payload(bytes.exit.substr(instant), bytes.exit.size() - instant);

    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(
        (bench_directory() / "spdlog.log").string(), true);
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
    logger.flush_on(spdlog::level::trace);
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        logger.info(enter);
        logger.info(record);
        logger.info(exit);
    }
    report_allocations(state, before);
    state.counters["writes_per_op"] = 3;
}

// File descriptor 1 goes to a file of the run while the console benchmarks
// write, so that the benchmark's own report is not mixed with their lines.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& name) : file_(create_file(name)), saved_(::dup(1)) {
        std::cout.flush();
        std::fflush(stdout);
        ::dup2(file_.get(), 1);
    }
    ~StdoutToFile() {
        std::fflush(stdout);
        ::dup2(saved_.get(), 1);
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

private:
    vorn::UniqueFd file_;
    vorn::UniqueFd saved_;
};

void console_line() { vorn::print_console_line("main", "load"); }

// One console line as it reaches the file (the time in it changes, its length
// does not).
const std::string& console_bytes() {
    static const std::string bytes = [] {
        vorn::current_stdout_logger_options().use_color = false;
        {
            StdoutToFile redirect("console-sample.log");
            console_line();
        }
        return read_file(bench_directory() / "console-sample.log");
    }();
    return bytes;
}

void console_line_ours(benchmark::State& state) {
    static_cast<void>(console_bytes());
    StdoutToFile redirect("console.log");
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) console_line();
    report_allocations(state, before);
    state.counters["writes_per_op"] = 1;
}

void console_line_write_same_bytes(benchmark::State& state) {
    const std::string& bytes = console_bytes();
    const vorn::UniqueFd fd = create_file("console-write.log");
    const std::uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) write_all(fd.get(), bytes);
    report_allocations(state, before);
    state.counters["writes_per_op"] = 1;
}

}  // namespace

BENCHMARK(trace_scope_ours)->Name("trace_scope/ours");
BENCHMARK(trace_scope_write_same_bytes)->Name("trace_scope/write_same_bytes");
BENCHMARK(trace_scope_pwrite_same_bytes)->Name("trace_scope/pwrite_same_bytes");
BENCHMARK(trace_scope_spdlog)->Name("trace_scope/spdlog_flush_per_record");
BENCHMARK(console_line_ours)->Name("console_line/ours");
BENCHMARK(console_line_write_same_bytes)->Name("console_line/write_same_bytes");

int main(int argc, char** argv) {
    setenv("VORN_LOG_DIR", bench_directory().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(bench_directory(), ignored);
    return 0;
}
