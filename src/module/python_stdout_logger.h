#pragma once

#include "console/stdout_logger.h"
#include "module/python_logger.h"

namespace vorn {

// The Python class StdoutLogger: a console scope that prints a line when it
// opens and one per log(), and nothing when it ends.
class PythonStdoutLogger : public PythonLogger<StdoutLogger> {
public:
    using PythonLogger<StdoutLogger>::PythonLogger;
};

}  // namespace vorn
