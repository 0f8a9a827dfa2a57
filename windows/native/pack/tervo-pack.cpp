// tervo-pack for Windows: packs a Windows Installer package into a copy of the Tervo launcher.
#include <string>
#include <vector>

#include "PackCommands.h"
#include "Utf.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        args.push_back(pack::toUtf8(std::u16string(arg.begin(), arg.end())));
    }
    pack::ConsoleReporter reporter;
    return pack::runPackTool(args, reporter);
}
