#include "PackOptions.h"

#include <set>

#include "PackError.h"

namespace pack {

PackOptions parsePackOptions(const std::vector<std::string>& args) {
    PackOptions options;
    bool commandGiven = false;
    std::set<std::string> seen;
    const auto once = [&](const std::string& option) {
        if (!seen.insert(option).second) {
            throw UsageError(option + " is given more than once");
        }
    };
    const auto setCommand = [&](PackOptions::Command command, const std::string& arg) {
        if (commandGiven) {
            throw UsageError("Only one of --inspect, --extract, --help and --version: " + arg);
        }
        commandGiven = true;
        options.command = command;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Each option with a value is known by its long name, so "-o" and "--output" count as one.
        const auto value = [&](const std::string& option) -> std::string {
            once(option);
            if (i + 1 >= args.size()) {
                throw UsageError("Missing value after " + arg);
            }
            if (args[i + 1].empty()) {
                throw UsageError("Empty value after " + arg);
            }
            return args[++i];
        };
        if (arg == "-o" || arg == "--output") {
            options.output = value("--output");
        } else if (arg == "--stub") {
            options.stub = value(arg);
        } else if (arg == "--product-code") {
            options.productCode = value(arg);
        } else if (arg == "--icon") {
            options.icon = value(arg);
        } else if (arg == "--quiet" || arg == "-q") {
            once("--quiet");
            options.quiet = true;
        } else if (arg == "--ignore-checksum") {
            once(arg);
            options.ignoreChecksum = true;
        } else if (arg == "--json") {
            once(arg);
            options.json = true;
        } else if (arg == "--no-default-log") {
            once(arg);
            options.noDefaultLog = true;
        } else if (arg == "--no-package-cache") {
            once(arg);
            options.noPackageCache = true;
        } else if (arg == "--inspect") {
            setCommand(PackOptions::Command::Inspect, arg);
        } else if (arg == "--extract") {
            setCommand(PackOptions::Command::Extract, arg);
        } else if (arg == "--help" || arg == "-h" || arg == "/?") {
            setCommand(PackOptions::Command::Help, arg);
        } else if (arg == "--version") {
            setCommand(PackOptions::Command::Version, arg);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("Unknown option " + arg);
        } else if (arg.empty()) {
            throw UsageError("An empty argument is not a file name");
        } else if (options.input.empty()) {
            options.input = arg;
        } else {
            throw UsageError("Unexpected argument " + arg);
        }
    }

    using Command = PackOptions::Command;
    if (options.command == Command::Help || options.command == Command::Version) {
        return options;
    }
    if (options.input.empty()) {
        throw UsageError(options.command == Command::Pack ? "No package given" : "No launcher given");
    }
    if (options.command != Command::Inspect && options.output.empty()) {
        throw UsageError("No output file given (-o)");
    }
    if (options.command == Command::Inspect && !options.output.empty()) {
        throw UsageError("--inspect writes no file; -o does not apply");
    }
    if (options.command != Command::Pack &&
        !(options.stub.empty() && options.productCode.empty() && options.icon.empty())) {
        throw UsageError("--stub, --product-code and --icon apply to packing only");
    }
    if (options.command != Command::Extract && options.ignoreChecksum) {
        throw UsageError("--ignore-checksum applies to --extract only");
    }
    if (options.command != Command::Inspect && options.json) {
        throw UsageError("--json applies to --inspect only");
    }
    if (options.command != Command::Pack && options.noDefaultLog) {
        throw UsageError("--no-default-log applies to packing only");
    }
    if (options.command != Command::Pack && options.noPackageCache) {
        throw UsageError("--no-package-cache applies to packing only");
    }
    if (options.command == Command::Pack && options.output == standardOutputName) {
        throw UsageError("A launcher cannot be written to standard output (-o -); name a file (./- for a file named -)");
    }
    return options;
}

const char* packUsage() {
    return "Usage:\n"
           "  tervo-pack PACKAGE.msi -o SETUP.exe [--stub LAUNCHER.exe] [--product-code {GUID}]\n"
           "             [--icon ICON.ico] [--no-default-log] [--no-package-cache] [--quiet]\n"
           "  tervo-pack --inspect SETUP.exe [--json]\n"
           "  tervo-pack --extract SETUP.exe -o PACKAGE.msi|- [--ignore-checksum]\n"
           "\n"
           "Packs a Windows Installer package into a copy of the Tervo launcher: SETUP.exe installs the\n"
           "package when run and removes the product when run with the argument uninstall.\n"
           "\n"
           "  -o, --output FILE    the file to write; it is replaced only when complete\n"
           "  --stub FILE          the launcher to copy (default: tervo-launcher.exe beside this tool,\n"
           "                       or else ../share/tervo/tervo-launcher.exe relative to it)\n"
           "  --product-code GUID  the package's product code in any spelling (default: the package's)\n"
           "  --icon FILE          an .ico file for SETUP.exe\n"
           "  --no-default-log     SETUP.exe does not add a verbose log of its own when the\n"
           "                       command line asks for none\n"
           "  --no-package-cache   SETUP.exe keeps no copy of the package for later repairs\n"
           "  -q, --quiet          no progress and no summary\n"
           "  --inspect            show what a launcher carries and check its package's checksum\n"
           "  --json               with --inspect: one JSON object (keys in the manual page)\n"
           "  --extract            write the package a launcher carries, byte for byte\n"
           "                       (-o - writes it to standard output, once it is checked)\n"
           "  --ignore-checksum    extract a package even though it does not match its checksum\n"
           "  -h, --help           show this text\n"
           "  --version            show the Tervo version\n"
           "\n"
           "Exit codes: 0 done (--inspect: the launcher is sound), 1 failed (nothing was written;\n"
           "--inspect: the package is damaged, cut short or missing), 2 wrong command line.\n";
}

} // namespace pack
