// tervo-pack for Linux: packs a Windows Installer package into a copy of the Tervo launcher.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "PackCommands.h"

int main(int argc, char** argv) {
    // A standard stream the caller closed gets a placeholder, so that no file the tool opens takes
    // its number: a report meant for standard output must never land in a package or a launcher.
    // The placeholder is open for reading only, so a write to it fails and is reported as such.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int placeholder = ::open("/dev/null", O_RDONLY);
            if (placeholder >= 0 && placeholder != fd) {
                ::dup2(placeholder, fd);
                ::close(placeholder);
            }
        }
    }
    pack::ConsoleReporter reporter;
    return pack::runPackTool(std::vector<std::string>(argv + 1, argv + argc), reporter);
}
