#pragma once

#include <string>

#include "trace/unique_fd.h"

namespace vorn {

// Opens the directory a host's trace files go to, `root`/vorn/`host`,
// creating what is missing. The root is the user's choice and is created
// and entered as named, links followed. Below it, "vorn" and the host
// directory are made and entered one at a time without following a link:
// in a shared, world-writable root anybody may plant a link named "vorn",
// and the traces must not land (or truncate files) where it points. An
// empty host leaves the files in the vorn directory itself.
//
// When a directory cannot be created or entered (a component is a file or
// a link, permission is denied) it throws the same
// std::filesystem::filesystem_error create_directories would give for
// `directory`, the composed text the user sees: "cannot create
// directories", the reason, and that path.
UniqueFd open_trace_directory(const std::string& root, const std::string& host, const std::string& directory);

}  // namespace vorn
