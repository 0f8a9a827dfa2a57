// What a run of the launcher is asked to do, read from its own command line: the launcher's few
// switches of its own, and the arguments it hands to msiexec.exe as they were typed.
#pragma once

#include <vector>

#include "MsiexecArgs.h"
#include "tstrings.h"

class LauncherCommandLine {
public:
    enum class Action { Install, Uninstall, Extract };

    // `commandLine` is the process's whole command line, program name first. The arguments are
    // split as msiexec.exe splits them, so that setup.exe <text> means what
    // msiexec /i <package> <text> means. Never throws.
    explicit LauncherCommandLine(const tstring& commandLine);

    // Uninstall when an argument is exactly the lower-case word uninstall, Extract for /extract
    // <folder>, else Install. Throws TervoError<std::runtime_error> with the usage of /extract,
    // spelled with `programName`, when its folder is missing, when it is given twice or together
    // with uninstall.
    Action action(const tstring& programName) const;
    // The folder that /extract names, as typed.
    const tstring& extractFolder() const { return folder; }

    // False when the last user-interface switch asks for a run without dialogs (/q, /qn, /quiet,
    // /passive, /qb, /qb-, /qb! and their spellings): nobody is then expected to answer any.
    bool allowsDialogs() const { return dialogs; }
    // Whether a switch names a log of the run's own (/l..., /log), and the file it names, as typed.
    bool namesLog() const { return logNamed; }
    const tstring& namedLog() const { return logFile; }
    // What follows the program name, unchanged, for msiexec.exe.
    const tstring& installerArguments() const { return tail; }

private:
    tstring tail;
    tstring logFile;
    tstring folder;
    bool uninstallAsked = false;
    int extractCount = 0;
    bool folderMissing = false;
    bool dialogs = true;
    bool logNamed = false;
};
