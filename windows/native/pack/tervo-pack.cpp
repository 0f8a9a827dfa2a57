// tervo-pack for Windows: packs a Windows Installer package into a copy of the Tervo launcher.
#include <new>
#include <string>
#include <vector>

#include "PackCommands.h"
#include "Utf.h"
#include "app.h"

namespace {

std::vector<std::string> arguments;
int exitCode = 1;

void run() {
    pack::ConsoleReporter reporter;
    exitCode = pack::runPackTool(arguments, reporter);
}

} // namespace

// The launch frame keeps the library's log quiet unless TERVO_DEBUG is "true".
int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        arguments.push_back(pack::toUtf8(std::u16string(arg.begin(), arg.end())));
    }
    app::launch(std::nothrow, run);
    return exitCode;
}
