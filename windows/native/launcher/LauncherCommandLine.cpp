#include "LauncherCommandLine.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "ErrorHandling.h"

namespace {

enum class Meaning { Extract, NoDialogs, Dialogs, Log };

struct OwnSwitch {
    const wchar_t* name;
    Meaning meaning;
    bool prefix;
};

// The switches the launcher reads, written with / or - and in any case. Only /extract is the
// launcher's alone; the others are msiexec's, passed on, and read here for what they tell about
// the run. msiexec's user-interface switches: no user interface, or a basic one without its
// modal dialogs, ask for a run that nobody watches; the + forms end with a dialog, and /qr and
// /qf show dialogs throughout.
constexpr OwnSwitch ownSwitches[] = {
    {L"extract", Meaning::Extract, false},
    {L"q", Meaning::NoDialogs, false},
    {L"qn", Meaning::NoDialogs, false},
    {L"quiet", Meaning::NoDialogs, false},
    {L"passive", Meaning::NoDialogs, false},
    {L"qb", Meaning::NoDialogs, false},
    {L"qb-", Meaning::NoDialogs, false},
    {L"qb!", Meaning::NoDialogs, false},
    {L"qb!-", Meaning::NoDialogs, false},
    {L"qb-!", Meaning::NoDialogs, false},
    {L"qn+", Meaning::Dialogs, false},
    {L"qb+", Meaning::Dialogs, false},
    {L"qb!+", Meaning::Dialogs, false},
    {L"qb+!", Meaning::Dialogs, false},
    {L"qr", Meaning::Dialogs, false},
    {L"qf", Meaning::Dialogs, false},
    {L"l", Meaning::Log, true},
};

const wchar_t* const uninstallWord = L"uninstall";

const OwnSwitch* findSwitch(const tstring& value) {
    if (value.size() < 2 || (value[0] != L'/' && value[0] != L'-')) {
        return nullptr;
    }
    const tstring name = value.substr(1);
    const auto match = std::find_if(std::begin(ownSwitches), std::end(ownSwitches), [&](const OwnSwitch& candidate) {
        const tstring spelling = candidate.name;
        return candidate.prefix ? tstrings::hasPrefix(name, spelling, tstrings::IGNORE_CASE)
                                : tstrings::equal(name, spelling, tstrings::IGNORE_CASE);
    });
    return match == std::end(ownSwitches) ? nullptr : match;
}

} // namespace

LauncherCommandLine::LauncherCommandLine(const tstring& commandLine) : tail(msi::commandLineTail(commandLine)) {
    const std::vector<msi::CommandLineToken> tokens = msi::splitCommandLine(tail);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const tstring& value = tokens[i].value;
        if (value == uninstallWord) {
            uninstallAsked = true;
            continue;
        }
        const OwnSwitch* own = findSwitch(value);
        if (!own) {
            continue;
        }
        switch (own->meaning) {
        case Meaning::Extract:
            if (++extractCount == 1) {
                // The folder is the next token, whatever it spells.
                if (i + 1 < tokens.size() && !tokens[i + 1].value.empty()) {
                    folder = tokens[++i].value;
                } else {
                    folderMissing = true;
                }
            }
            break;
        case Meaning::NoDialogs:
            dialogs = false;
            break;
        case Meaning::Dialogs:
            dialogs = true;
            break;
        case Meaning::Log:
            // The file is the next token, as msiexec takes it.
            logNamed = true;
            if (i + 1 < tokens.size()) {
                logFile = tokens[++i].value;
            }
            break;
        }
    }
}

LauncherCommandLine::Action LauncherCommandLine::action(const tstring& programName) const {
    if (extractCount == 0) {
        return uninstallAsked ? Action::Uninstall : Action::Install;
    }
    const char* problem = nullptr;
    if (folderMissing) {
        problem = "/extract needs the folder to write the package to";
    } else if (extractCount > 1) {
        problem = "/extract is given more than once";
    } else if (uninstallAsked) {
        problem = "/extract and uninstall cannot be used together";
    }
    if (problem) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << problem << ". Usage: " << programName << " /extract <folder>").utf8()));
    }
    return Action::Extract;
}
