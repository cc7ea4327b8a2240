#pragma once

namespace vorn {

// Turns a host name, as gethostname gave it, into one that is safe both as a
// single path component (the trace directory is named after the host) and
// in a console header. Works in place on a NUL-terminated name; the length
// never changes.
//
//   "build-7"     => "build-7"      (ordinary names are kept as they are)
//   "a/b"         => "a_b"          every "/" becomes "_"
//   "/"           => "_"
//   "../etc"      => ".._etc"       (the "/" is gone, so it is one component)
//   "."           => "_"            a name that is exactly "." or ".." has
//   ".."          => "__"           its dots replaced
//   "..."         => "..."          (not a special component)
//   ""            => ""             (the callers decide what an empty or
//                                    unreadable name becomes)
void make_host_name_safe(char* name) noexcept;

}  // namespace vorn
