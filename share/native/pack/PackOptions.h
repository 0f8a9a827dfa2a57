// The command line of the packaging tool.
#pragma once

#include <stdexcept>

#include "tstrings.h"

namespace pack {

struct PackOptions {
    enum class Command { Pack, Inspect, Extract, Help, Version };
    Command command = Command::Pack;
    tstring input;  // the package to pack, or the launcher to inspect or extract from
    tstring output; // -o
    tstring stub;   // --stub; empty for the launcher beside the tool
    tstring productCode;
    tstring icon;
    bool quiet = false;
};

// Reads the arguments (without the program name). Throws UsageError for a command line that
// does not make sense.
PackOptions parsePackOptions(const tstring_array& args);

// A command line the tool cannot follow; the tool prints the text and the usage and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The usage text.
const char* packUsage();

} // namespace pack
