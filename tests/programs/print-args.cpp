// Prints what SysInfo::getCommandArgs makes of this program's command line, one element per
// line in brackets and UTF-8: first the count and elements without the program name, then with it.
#include <cstdio>

#include "SysInfo.h"

namespace {

void print(const char* label, const tstring_array& args) {
    std::printf("%s %zu\n", label, args.size());
    for (const tstring& arg : args) {
        std::printf("[%s]\n", tstrings::encodeUtf8(arg).c_str());
    }
}

} // namespace

int main() {
    print("exclude", SysInfo::getCommandArgs(ExcludeProgramName));
    print("include", SysInfo::getCommandArgs(IncludeProgramName));
    return 0;
}
