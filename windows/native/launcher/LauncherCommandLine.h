// What a run of the launcher is asked to do, read from its own command line: the verb it hands to
// msiexec.exe with its package or product, its few switches of its own, and the arguments it
// passes on as they were typed.
#pragma once

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "MsiexecArgs.h"
#include "tstrings.h"

// A line that msiexec.exe would answer with its modal usage dialog, or that asks the launcher for
// something it does not carry (a patch, another product): the run ends with exit code 1639
// (ERROR_INVALID_COMMAND_LINE) and never starts msiexec.
class CommandLineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LauncherCommandLine {
public:
    enum class Action { Install, Remove, Repair, Administer, Advertise, Uninstall, Extract, Help };

    // `commandLine` is the process's whole command line, program name first. The arguments are
    // split as msiexec.exe splits them, so that setup.exe <verb> <text> means what
    // msiexec <verb> <package> <text> means. Never throws.
    explicit LauncherCommandLine(const tstring& commandLine);

    // Help for /?, /h or /help; else the action of the line's verb (/x or /uninstall, /f...,
    // /repair, /a, /ju or /jm), Uninstall for the exact lower-case word uninstall, Extract for
    // /extract <folder>, Install for none. Throws TervoError<CommandLineError> naming the token
    // and what to type instead for a line msiexec would refuse (two verbs, a verb of a patch or
    // module, an option it does not know, an option without its value, a target typed after a
    // verb); TervoError<std::runtime_error> with the usage of /extract, spelled with
    // `programName`, when its folder is missing or empty, or it is given twice or with uninstall.
    Action action(const tstring& programName) const;

    // The verb msiexec gets, spelled as msiexec documents it: /i, /x, /f with its mode letters
    // (/fvomus for /repair), /a, /ju or /jm.
    const tstring& verb() const { return msiexecVerb; }
    // The folder that /extract names, as typed.
    const tstring& extractFolder() const { return folder; }

    // False when the last user-interface switch asks for a run without dialogs (/q, /qn, /quiet,
    // /passive, /qb, /qb-, /qb! and their spellings): nobody is then expected to answer any.
    bool allowsDialogs() const { return dialogs; }
    // Whether a switch names a log of the run's own (/l..., /log), and the file it names, as typed.
    bool namesLog() const { return logNamed; }
    const tstring& namedLog() const { return logFile; }
    // What follows the program name for msiexec.exe: as typed, without the verb.
    const tstring& installerArguments() const { return arguments; }
    // The value the line gives the property `name` (compared without regard to case; the last
    // one counts), or nothing when it sets none.
    std::optional<tstring> property(const tstring& name) const;
    // Whether the line names transforms (TRANSFORMS=..., /t), which can change any property.
    bool namesTransforms() const;

private:
    tstring arguments;
    tstring msiexecVerb = L"/i";
    Action verbAction = Action::Install;
    tstring logFile;
    tstring folder;
    std::vector<std::pair<tstring, tstring>> properties;
    std::optional<tstring> problem;
    bool transformsOption = false;
    bool uninstallAsked = false;
    bool helpAsked = false;
    int extractCount = 0;
    bool folderMissing = false;
    bool dialogs = true;
    bool logNamed = false;
};
