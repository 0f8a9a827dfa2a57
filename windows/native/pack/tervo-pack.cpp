// tervo-pack: packs a Windows Installer package into a copy of the Tervo launcher.
#include <cstdio>
#include <new>

#include "PackCommands.h"
#include "SysInfo.h"
#include "app.h"

namespace {

int exitCode = 1;

// Reports a failure as one line on standard error.
class ErrorLine : public LogAppender {
public:
    void append(const LogRecord&) override {
        const std::string text = "tervo-pack: " + app::lastErrorMsg() + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
};

void run() {
    const pack::Reporter reporter(stdout, stderr);
    pack::PackOptions options;
    try {
        options = pack::parsePackOptions(SysInfo::getCommandArgs(ExcludeProgramName));
    } catch (const pack::UsageError& e) {
        std::fprintf(stderr, "tervo-pack: %s\n\n%s", e.what(), pack::packUsage());
        exitCode = 2;
        return;
    }
    switch (options.command) {
    case pack::PackOptions::Command::Help:
        std::fputs(pack::packUsage(), stdout);
        break;
    case pack::PackOptions::Command::Version:
        std::fputs("tervo-pack 1.0\n", stdout);
        break;
    case pack::PackOptions::Command::Pack:
        pack::packPackage(options, reporter);
        break;
    case pack::PackOptions::Command::Inspect:
        pack::inspectLauncher(options, reporter);
        break;
    case pack::PackOptions::Command::Extract:
        pack::extractPackage(options, reporter);
        break;
    }
    exitCode = 0;
}

} // namespace

int wmain() {
    ErrorLine errorLine;
    app::launch(std::nothrow, run, &errorLine);
    return exitCode;
}
