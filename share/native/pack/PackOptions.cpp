#include "PackOptions.h"

#include <stdexcept>

namespace pack {

namespace {

[[noreturn]] void refuse(const tstrings::MessageBuilder& message) { throw UsageError(message.utf8()); }

} // namespace

PackOptions parsePackOptions(const tstring_array& args) {
    PackOptions options;
    bool commandGiven = false;
    const auto setCommand = [&](PackOptions::Command command, const tstring& arg) {
        if (commandGiven) {
            refuse(tstrings::MessageBuilder() << "Only one of --inspect, --extract, --help and --version: " << arg);
        }
        commandGiven = true;
        options.command = command;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const tstring& arg = args[i];
        const auto value = [&]() -> tstring {
            if (i + 1 >= args.size()) {
                refuse(tstrings::MessageBuilder() << "Missing value after " << arg);
            }
            return args[++i];
        };
        if (arg == L"-o" || arg == L"--output") {
            options.output = value();
        } else if (arg == L"--stub") {
            options.stub = value();
        } else if (arg == L"--product-code") {
            options.productCode = value();
        } else if (arg == L"--icon") {
            options.icon = value();
        } else if (arg == L"--quiet" || arg == L"-q") {
            options.quiet = true;
        } else if (arg == L"--inspect") {
            setCommand(PackOptions::Command::Inspect, arg);
        } else if (arg == L"--extract") {
            setCommand(PackOptions::Command::Extract, arg);
        } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            setCommand(PackOptions::Command::Help, arg);
        } else if (arg == L"--version") {
            setCommand(PackOptions::Command::Version, arg);
        } else if (arg.size() > 1 && arg[0] == L'-') {
            refuse(tstrings::MessageBuilder() << "Unknown option " << arg);
        } else if (options.input.empty()) {
            options.input = arg;
        } else {
            refuse(tstrings::MessageBuilder() << "Unexpected argument " << arg);
        }
    }

    using Command = PackOptions::Command;
    if (options.command == Command::Help || options.command == Command::Version) {
        return options;
    }
    if (options.input.empty()) {
        refuse(tstrings::MessageBuilder()
               << (options.command == Command::Pack ? "No package given" : "No launcher given"));
    }
    if (options.command != Command::Inspect && options.output.empty()) {
        refuse(tstrings::MessageBuilder() << "No output file given (-o)");
    }
    if (options.command == Command::Inspect && !options.output.empty()) {
        refuse(tstrings::MessageBuilder() << "--inspect writes no file; -o does not apply");
    }
    if (options.command != Command::Pack &&
        !(options.stub.empty() && options.productCode.empty() && options.icon.empty())) {
        refuse(tstrings::MessageBuilder() << "--stub, --product-code and --icon apply to packing only");
    }
    return options;
}

const char* packUsage() {
    return "Usage:\n"
           "  tervo-pack PACKAGE.msi -o SETUP.exe [--stub LAUNCHER.exe] [--product-code {GUID}]\n"
           "             [--icon ICON.ico] [--quiet]\n"
           "  tervo-pack --inspect SETUP.exe\n"
           "  tervo-pack --extract SETUP.exe -o PACKAGE.msi\n"
           "\n"
           "Packs a Windows Installer package into a copy of the Tervo launcher: SETUP.exe installs the\n"
           "package when run and removes the product when run with the argument uninstall.\n"
           "\n"
           "  -o, --output FILE    the file to write; it is replaced only when complete\n"
           "  --stub FILE          the launcher to copy (default: tervo-launcher.exe beside this tool)\n"
           "  --product-code GUID  the product code to embed (default: the package's ProductCode)\n"
           "  --icon FILE          an .ico file for SETUP.exe\n"
           "  -q, --quiet          no progress and no summary\n"
           "  --inspect            show what a launcher carries\n"
           "  --extract            write the package a launcher carries, byte for byte\n"
           "\n"
           "Exit codes: 0 done, 1 failed (nothing was written), 2 wrong command line.\n";
}

} // namespace pack
