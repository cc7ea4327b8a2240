#include "trace/written_files.h"

#include <map>
#include <memory>
#include <tuple>
#include <utility>

namespace vorn {
namespace {

using Name = std::tuple<dev_t, ino_t, std::string>;
using FileId = std::pair<dev_t, ino_t>;

// Never destroyed: a thread may still open its file while the process exits
// and static objects are being destroyed.
std::map<Name, FileId>& registry() {
    static std::map<Name, FileId>* const files = std::make_unique<std::map<Name, FileId>>().release();
    return *files;
}

Name name_of(const struct stat& directory, const std::string& name) {
    return Name(directory.st_dev, directory.st_ino, name);
}

}  // namespace

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
