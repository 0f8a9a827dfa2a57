#include "LauncherCommandLine.h"

#include <algorithm>
#include <iterator>

#include "ErrorHandling.h"

namespace {

using Action = LauncherCommandLine::Action;

enum class Kind {
    Verb,         // carried out with the launcher's package or product
    InstallVerb,  // what the launcher does when no verb is given
    PatchVerb,    // takes a patch the launcher does not carry
    ModuleVerb,   // registers a module the launcher does not carry
    NoDialogs,    // a user interface without dialogs that wait for a person
    Dialogs,      // a user interface that shows them
    Log,          // takes the log file's name
    Valued,       // takes some other value
    Plain,        // takes nothing
    Extract,
    Help
};

struct Switch {
    const wchar_t* name;     // as written after / or -, in lower case
    const wchar_t* letters;  // when given: the name may go on with any of these letters
    Kind kind;
    Action action = Action::Install;
    const wchar_t* verb = nullptr;  // the verb msiexec gets; null: /<name><letters> as typed
};

// Every option msiexec documents, read with / or - and in any case, and the launcher's own
// (/extract, /repair). A user-interface switch without dialogs, or a basic one without its modal
// ones, asks for a run that nobody watches; the + forms end with a dialog, and /qr and /qf show
// dialogs throughout. The exact names come first: /log is not /l with the modes o and g.
constexpr Switch switches[] = {
    {L"x", nullptr, Kind::Verb, Action::Remove, L"/x"},
    {L"uninstall", nullptr, Kind::Verb, Action::Remove, L"/x"},
    {L"repair", nullptr, Kind::Verb, Action::Repair, L"/fvomus"},
    {L"a", nullptr, Kind::Verb, Action::Administer, L"/a"},
    {L"ju", nullptr, Kind::Verb, Action::Advertise, L"/ju"},
    {L"jm", nullptr, Kind::Verb, Action::Advertise, L"/jm"},
    {L"i", nullptr, Kind::InstallVerb},
    {L"package", nullptr, Kind::InstallVerb},
    {L"p", nullptr, Kind::PatchVerb},
    {L"update", nullptr, Kind::PatchVerb},
    {L"y", nullptr, Kind::ModuleVerb},
    {L"z", nullptr, Kind::ModuleVerb},
    {L"q", nullptr, Kind::NoDialogs},
    {L"qn", nullptr, Kind::NoDialogs},
    {L"quiet", nullptr, Kind::NoDialogs},
    {L"passive", nullptr, Kind::NoDialogs},
    {L"qb", nullptr, Kind::NoDialogs},
    {L"qb-", nullptr, Kind::NoDialogs},
    {L"qb!", nullptr, Kind::NoDialogs},
    {L"qb!-", nullptr, Kind::NoDialogs},
    {L"qb-!", nullptr, Kind::NoDialogs},
    {L"qn+", nullptr, Kind::Dialogs},
    {L"qb+", nullptr, Kind::Dialogs},
    {L"qb!+", nullptr, Kind::Dialogs},
    {L"qb+!", nullptr, Kind::Dialogs},
    {L"qr", nullptr, Kind::Dialogs},
    {L"qf", nullptr, Kind::Dialogs},
    {L"norestart", nullptr, Kind::Plain},
    {L"promptrestart", nullptr, Kind::Plain},
    {L"forcerestart", nullptr, Kind::Plain},
    {L"c", nullptr, Kind::Plain},
    {L"log", nullptr, Kind::Log},
    {L"m", nullptr, Kind::Valued},
    {L"t", nullptr, Kind::Valued},
    {L"g", nullptr, Kind::Valued},
    {L"n", nullptr, Kind::Valued},
    {L"help", nullptr, Kind::Help},
    {L"h", nullptr, Kind::Help},
    {L"?", nullptr, Kind::Help},
    {L"extract", nullptr, Kind::Extract},
    {L"f", L"poedcaumsv", Kind::Verb, Action::Repair},
    {L"l", L"iwearucmopvx+!*", Kind::Log},
};

// The silent switches of other kinds of setup programs, which people type out of habit.
constexpr const wchar_t* otherSilentSwitches[] = {L"s", L"silent", L"verysilent", L"q!", L"qs"};

const wchar_t* const uninstallWord = L"uninstall";

bool isSwitchSpelling(const tstring& value) { return value.size() >= 2 && (value[0] == L'/' || value[0] == L'-'); }

const Switch* findSwitch(const tstring& value) {
    if (!isSwitchSpelling(value)) {
        return nullptr;
    }
    const tstring name = tstrings::lowercase(value.substr(1));
    const auto match = std::find_if(std::begin(switches), std::end(switches), [&](const Switch& candidate) {
        const tstring spelling = candidate.name;
        if (!candidate.letters) {
            return name == spelling;
        }
        return tstrings::hasPrefix(name, spelling) &&
               name.find_first_not_of(candidate.letters, spelling.size()) == tstring::npos;
    });
    return match == std::end(switches) ? nullptr : match;
}

bool isProperty(const tstring& value) {
    const size_t equals = value.find(L'=');
    return equals != tstring::npos && equals > 0;
}

// The launcher's name for what a verb does, for messages.
tstring verbName(const msi::CommandLineToken& token) { return tstrings::lowercase(token.value); }

} // namespace

LauncherCommandLine::LauncherCommandLine(const tstring& commandLine) {
    const tstring tail = msi::commandLineTail(commandLine);
    const std::vector<msi::CommandLineToken> tokens = msi::splitCommandLine(tail);
    std::vector<size_t> verbTokens;
    std::optional<msi::CommandLineToken> firstVerb;
    const auto refuse = [this](const tstrings::MessageBuilder& text) {
        if (!problem) {
            problem = text.str();
        }
    };
    // A value is the next token, unless the line ends, or the token is one that msiexec or the
    // launcher would read as something else: a switch, or the word uninstall.
    const auto takeValue = [&](size_t& i, const tstring& what, const tstring& example) -> std::optional<tstring> {
        const msi::CommandLineToken& option = tokens[i];
        if (i + 1 < tokens.size()) {
            const tstring& next = tokens[i + 1].value;
            if (!next.empty() && next[0] != L'/' && !findSwitch(next) && next != uninstallWord) {
                return tokens[++i].value;
            }
            if (!next.empty()) {
                refuse(tstrings::MessageBuilder() << option.text << " needs " << what << " after it, not "
                                                  << tokens[i + 1].text << ": type " << option.text << " "
                                                  << example << ".");
                ++i;
                return std::nullopt;
            }
        }
        refuse(tstrings::MessageBuilder() << option.text << " needs " << what << " after it: type " << option.text
                                          << " " << example << ".");
        return std::nullopt;
    };

    for (size_t i = 0; i < tokens.size(); ++i) {
        const msi::CommandLineToken& token = tokens[i];
        const tstring& value = token.value;
        if (value == uninstallWord) {
            uninstallAsked = true;
            continue;
        }
        if (isProperty(value)) {
            properties.emplace_back(value.substr(0, value.find(L'=')), value.substr(value.find(L'=') + 1));
            continue;
        }
        if (!value.empty() && (value[0] == L'/' || value[0] == L'-')) {
            const Switch* known = findSwitch(value);
            if (!known) {
                const tstring name = tstrings::lowercase(value.substr(1));
                const bool silent = std::any_of(std::begin(otherSilentSwitches), std::end(otherSilentSwitches),
                                                [&](const wchar_t* other) { return name == other; });
                if (silent) {
                    refuse(tstrings::MessageBuilder() << token.text << " is not an option of msiexec.exe: for a "
                                                                       "silent run type /qn or /quiet instead.");
                } else if (name == L"install") {
                    refuse(tstrings::MessageBuilder() << token.text << " is not an option of msiexec.exe: without a "
                                                                       "verb this program installs, so leave it out.");
                } else if (name.size() > 1 && name[0] == L'v') {
                    refuse(tstrings::MessageBuilder() << token.text << " is not an option of msiexec.exe: type "
                                                                       "msiexec's options as they are, such as /qn.");
                } else {
                    refuse(tstrings::MessageBuilder() << token.text << " is not an option of msiexec.exe: type /? "
                                                                       "for the options that work.");
                }
                continue;
            }
            switch (known->kind) {
            case Kind::Verb: {
                verbTokens.push_back(i);
                const tstring verb = known->verb ? tstring(known->verb) : L"/" + tstrings::lowercase(value.substr(1));
                if (!firstVerb) {
                    firstVerb = token;
                    msiexecVerb = verb;
                    verbAction = known->action;
                } else if (verb != msiexecVerb) {
                    refuse(tstrings::MessageBuilder() << firstVerb->text << " and " << token.text
                                                      << " cannot be used together: type one of them.");
                }
                // Whatever names a target right after the verb is the user's: the launcher gives its own.
                if (i + 1 < tokens.size() && !isSwitchSpelling(tokens[i + 1].value) &&
                    !isProperty(tokens[i + 1].value) && tokens[i + 1].value != uninstallWord) {
                    refuse(tstrings::MessageBuilder()
                           << token.text << " " << tokens[i + 1].text << ": " << token.text << " acts on the "
                           << (known->action == Action::Remove ? "product" : "package")
                           << " this program carries and takes nothing after it: leave out " << tokens[i + 1].text
                           << ".");
                    ++i;
                }
                break;
            }
            case Kind::InstallVerb:
                refuse(tstrings::MessageBuilder() << token.text << " is not needed: without a verb the package this "
                                                                   "program carries is installed. Leave out "
                                                  << token.text << " and what names a package after it.");
                break;
            case Kind::PatchVerb:
                refuse(tstrings::MessageBuilder() << token.text << " applies a patch, and this program carries a "
                                                                   "package, not a patch: apply patches with msiexec "
                                                  << verbName(token) << " <patch> instead.");
                break;
            case Kind::ModuleVerb:
                refuse(tstrings::MessageBuilder() << token.text << " registers a module, and this program carries "
                                                                   "none: register modules with msiexec "
                                                  << verbName(token) << " <module> instead.");
                break;
            case Kind::NoDialogs:
                dialogs = false;
                break;
            case Kind::Dialogs:
                dialogs = true;
                break;
            case Kind::Log:
                // The file is the next token, as msiexec takes it.
                if (const std::optional<tstring> file = takeValue(i, L"the log file's name", L"<log file>")) {
                    logNamed = true;
                    logFile = *file;
                }
                break;
            case Kind::Valued:
                if (tstrings::lowercase(value.substr(1)) == L"t") {
                    transformsOption = true;
                }
                takeValue(i, L"its value", L"<value>");
                break;
            case Kind::Plain:
                break;
            case Kind::Help:
                helpAsked = true;
                break;
            case Kind::Extract:
                if (++extractCount > 1) {
                    break;
                }
                // The folder is the next token, whatever it spells, unless it is a switch.
                if (i + 1 < tokens.size() && !tokens[i + 1].value.empty()) {
                    const tstring& next = tokens[i + 1].value;
                    if (next[0] == L'/' || findSwitch(next)) {
                        refuse(tstrings::MessageBuilder() << token.text << " needs the folder to write the package "
                                                                           "to, not "
                                                          << tokens[i + 1].text << ": type " << token.text
                                                          << " <folder>.");
                    }
                    folder = tokens[++i].value;
                } else {
                    folderMissing = true;
                }
                break;
            }
        }
    }
    if (firstVerb && uninstallAsked) {
        refuse(tstrings::MessageBuilder() << firstVerb->text << " and uninstall cannot be used together: type one "
                                                                "of them.");
    }
    if (firstVerb && extractCount > 0) {
        refuse(tstrings::MessageBuilder() << firstVerb->text << " and /extract cannot be used together: type one of "
                                                                "them.");
    }
    arguments = msi::removeTokens(tail, tokens, verbTokens);
}

LauncherCommandLine::Action LauncherCommandLine::action(const tstring& programName) const {
    if (helpAsked) {
        return Action::Help;
    }
    if (problem) {
        throw TervoError<CommandLineError>(CommandLineError(tstrings::encodeUtf8(*problem)));
    }
    if (extractCount == 0) {
        return uninstallAsked ? Action::Uninstall : verbAction;
    }
    const char* usage = nullptr;
    if (folderMissing) {
        usage = "/extract needs the folder to write the package to";
    } else if (extractCount > 1) {
        usage = "/extract is given more than once";
    } else if (uninstallAsked) {
        usage = "/extract and uninstall cannot be used together";
    }
    if (usage) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << usage << ". Usage: " << programName << " /extract <folder>").utf8()));
    }
    return Action::Extract;
}

std::optional<tstring> LauncherCommandLine::property(const tstring& name) const {
    std::optional<tstring> found;
    for (const auto& [propertyName, value] : properties) {
        if (tstrings::equal(propertyName, name, tstrings::IGNORE_CASE)) {
            found = value;
        }
    }
    return found;
}

bool LauncherCommandLine::namesTransforms() const { return transformsOption || property(L"TRANSFORMS").has_value(); }
