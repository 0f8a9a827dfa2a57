// tervo-pack for Linux: packs a Windows Installer package into a copy of the Tervo launcher.
#include <string>
#include <vector>

#include "PackCommands.h"

int main(int argc, char** argv) {
    pack::ConsoleReporter reporter;
    return pack::runPackTool(std::vector<std::string>(argv + 1, argv + argc), reporter);
}
