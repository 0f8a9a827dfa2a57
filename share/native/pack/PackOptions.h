// The command line of the packaging tool.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct PackOptions {
    enum class Command { Pack, Inspect, Extract, Help, Version };
    Command command = Command::Pack;
    std::string input;  // the package to pack, or the launcher to inspect or extract from
    std::string output; // -o; "-" (with --extract only) for standard output
    std::string stub;   // --stub; empty for the launcher beside the tool
    std::string productCode;
    std::string icon;
    bool quiet = false;
    bool ignoreChecksum = false;
    bool json = false;         // --json, with --inspect
    bool noDefaultLog = false; // --no-default-log, when packing
    bool noPackageCache = false; // --no-package-cache, when packing
};

// The output name that stands for standard output.
inline constexpr const char* standardOutputName = "-";

// Reads the arguments (UTF-8, without the program name). Throws UsageError for a command line
// that does not make sense: an unknown option, a missing or empty value, an option given twice.
PackOptions parsePackOptions(const std::vector<std::string>& args);

// The usage text.
const char* packUsage();

} // namespace pack
