// Parts of the static C++ runtime that the launcher provides itself, so that the linker does not
// pull in libstdc++'s larger ones. GCC and libstdc++ only.

#include <cstdlib>
#include <exception>
#include <string>

// libstdc++'s default terminate handler, defined here so that the runtime's own is left out:
// that one prints the exception's type on standard error, which a program without a console
// never shows, and brings the C++ name demangler and a printf implementation with it, about a
// sixth of the launcher. The launch frame catches every exception, so only a defect gets here;
// it ends the process as the runtime's handler does, without the text.
void __gnu_cxx::__verbose_terminate_handler() { std::abort(); }

// The narrow string, instantiated here as libstdc++ instantiates it for itself. Compiled with
// link-time optimisation, only the members the launcher calls stay; libstdc++'s precompiled
// instantiation, which the linker would otherwise take whole, is no longer needed.
template class std::basic_string<char>;
