#include "module/python_stl_logger.h"

#include "trace/log_file.h"

namespace vorn {

std::string PythonStlLogger::get_log_file_name() const { return vorn::get_log_file_name(); }

}  // namespace vorn
