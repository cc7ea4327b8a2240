#pragma once

#include <string>

#include "module/python_logger.h"
#include "trace/json_stl_logger.h"

namespace vorn {

// The Python class StlLogger (alias Logger): a trace scope in the calling
// thread's trace file.
class PythonStlLogger : public PythonLogger<JsonStlLogger> {
public:
    using PythonLogger<JsonStlLogger>::PythonLogger;

    // The calling thread's trace file path ("" before its first scope); the
    // same for every StlLogger used on that thread, open or closed.
    std::string get_log_file_name() const;
};

}  // namespace vorn
