#pragma once

#include <atomic>
#include <cstddef>

namespace vorn {

// The call attach_trace_identity makes to set the attribute, fsetxattr by
// default. Tests swap it to act out a file system that refuses extended
// attributes, which they cannot count on finding.
using SetAttributeCall = int (*)(int fd, const char* name, const void* value, std::size_t size, int flags);
extern std::atomic<SetAttributeCall> trace_identity_set_attribute;

}  // namespace vorn
