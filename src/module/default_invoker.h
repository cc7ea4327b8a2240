#pragma once

#include <string>
#include <string_view>

namespace vorn {

// The invoker used when Python passes none, taken from the calling thread's
// current Python frame: the code object's name ("work" for a function work,
// "run" for a method run, "<lambda>" for a lambda), or, for module-level code,
// the file name of the module's "__file__". "python" when neither gives a name.
// Needs the GIL. A failing Python operation (a missing attribute, a str() that
// raises, text that has no UTF-8 encoding) leaves as error_already_set.
std::string get_default_invoker();

// The invoker for module-level code whose "__file__" is `file` (UTF-8 bytes):
// the last path element after the last "/", or "python" when there is none.
//   "/srv/jobs/nightly.py" => "nightly.py"
//   "nightly.py"           => "nightly.py"
//   "/srv/jobs/"           => "python"
//   ""                     => "python"
//   "<stdin>"              => "python"
//   "<"                    => "<"
std::string script_invoker(std::string_view file);

}  // namespace vorn
