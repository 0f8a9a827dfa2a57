// libstdc++'s default terminate handler, defined here so that the static C++ runtime leaves out
// its own: that one prints the exception's type on standard error, which a program without a
// console never shows, and brings the C++ name demangler and a printf implementation with it,
// about a sixth of the launcher. The launch frame catches every exception, so only a defect
// gets here; it ends the process as the runtime's handler does, without the text.
#include <cstdlib>
#include <exception>

void __gnu_cxx::__verbose_terminate_handler() { std::abort(); }
