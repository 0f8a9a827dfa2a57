// What the packaging tool does: pack a package into a launcher, show what a launcher carries,
// and write the package a launcher carries back out.
#pragma once

#include <string>
#include <vector>

#include "PackOptions.h"

namespace pack {

// Where the commands report: text for the user, and progress, warnings and failures.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void out(const std::string& line) = 0;
    virtual void err(const std::string& line) = 0;
};

// Reports on the process's standard output and standard error.
class ConsoleReporter : public Reporter {
public:
    void out(const std::string& line) override;
    void err(const std::string& line) override;
};

// Writes `options.output`: the stub with the package, its product code and checksum, a version
// block that describes the product and the icon. Refuses a package that is not self-contained,
// a product code that differs from the package's, and a stub that already carries a package.
// The output is built beside the destination and put in place only when complete; on any failure
// the destination is as it was and no temporary file remains. Throws a pack::Error for the user.
void packPackage(const PackOptions& options, Reporter& reporter);

// Shows the Tervo version that made the launcher, the product code, the package size and
// checksum, and the product's name, version and manufacturer. What it knows from the launcher is
// shown before the package is opened.
void inspectLauncher(const PackOptions& options, Reporter& reporter);

// Writes the package a launcher carries to `options.output`, byte for byte. A package that does
// not match the launcher's checksum is not written unless `options.ignoreChecksum`.
void extractPackage(const PackOptions& options, Reporter& reporter);

// The whole tool: reads the arguments (UTF-8, without the program name), runs the command and
// returns the exit code: 0 done, 1 failed with the reason on `reporter.err`, 2 a wrong command
// line, with the usage. Never throws.
int runPackTool(const std::vector<std::string>& args, Reporter& reporter);

} // namespace pack
