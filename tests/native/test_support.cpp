#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vorn::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_old_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

FdCapture::FdCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-capture-XXXXXX").string();
    const int target = mkstemp(pattern.data());
    if (target < 0) std::abort();
    file_ = pattern;
    saved_ = dup(fd_);
    dup2(target, fd_);
    close(target);
}

FdCapture::~FdCapture() { release(); }

std::string FdCapture::release() {
    if (saved_ < 0) return {};
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::string text = read_file(file_);
    std::remove(file_.c_str());
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string host_name() {
    char buffer[256] = {};
    gethostname(buffer, sizeof buffer - 1);
    return buffer;
}

void run_in_thread(const std::function<void()>& fn) {
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

void run_in_forked_child(const std::function<bool()>& fn) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool ok = false;
        try {
            ok = fn();
        } catch (...) {
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's check failed";
}

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& path)
    : old_(std::filesystem::current_path().string()) {
    std::filesystem::current_path(path);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
}

std::string mask_timestamps(const std::string& text) {
    static const std::regex stamp("(\"ts(?:_enter|_exit)?\": )[0-9]+");
    return std::regex_replace(text, stamp, "$1T");
}

std::vector<std::uint64_t> timestamps_of(const std::string& text) {
    static const std::regex stamp("\"ts(?:_enter|_exit)?\": ([0-9]+)");
    std::vector<std::uint64_t> values;
    for (std::sregex_iterator it(text.begin(), text.end(), stamp), end; it != end; ++it) {
        values.push_back(std::stoull((*it)[1]));
    }
    return values;
}

}  // namespace vorn::testing
