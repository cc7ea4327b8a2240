#include "trace/written_files.h"

#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include <pthread.h>

namespace vorn {
namespace {

using Name = std::tuple<dev_t, ino_t, std::string>;
using FileId = std::pair<dev_t, ino_t>;

std::mutex& registry_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Never destroyed: a thread may still open its file while the process exits
// and static objects are being destroyed.
std::map<Name, FileId>& registry() {
    static std::map<Name, FileId>* const files = std::make_unique<std::map<Name, FileId>>().release();
    return *files;
}

Name name_of(const struct stat& directory, const std::string& name) {
    return Name(directory.st_dev, directory.st_ino, name);
}

// Another thread may hold the lock when some thread forks; the child would
// inherit it locked with no owner to unlock it. So the forking thread takes
// it across the fork and both sides let it go.
void lock_before_fork() { registry_mutex().lock(); }
void unlock_after_fork() { registry_mutex().unlock(); }

}  // namespace

WrittenFiles::WrittenFiles() {
    static const bool fork_handlers_registered =
        pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork) == 0;
    static_cast<void>(fork_handlers_registered);
    registry_mutex().lock();
}

WrittenFiles::~WrittenFiles() { registry_mutex().unlock(); }

bool WrittenFiles::contains(const struct stat& directory, const std::string& name, const struct stat& file) const {
    const auto found = registry().find(name_of(directory, name));
    return found != registry().end() && found->second == FileId(file.st_dev, file.st_ino);
}

void WrittenFiles::add(const struct stat& directory, const std::string& name, const struct stat& file) {
    registry().insert_or_assign(name_of(directory, name), FileId(file.st_dev, file.st_ino));
}

void WrittenFiles::remove(const struct stat& directory, const std::string& name) {
    registry().erase(name_of(directory, name));
}

}  // namespace vorn
