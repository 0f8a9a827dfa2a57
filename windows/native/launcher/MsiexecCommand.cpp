#include "MsiexecCommand.h"

#include <stdexcept>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "MsiUtils.h"
#include "MsiexecArgs.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

Executor msiexecCommand(const tstring& verb, const tstring& target, const tstring& arguments, tstring& log) {
    const auto build = [&](bool withLog) {
        Executor msiexec(SysInfo::getMsiexecPath());
        msiexec.addEncodedArg(verb).addEncodedArg(target);
        if (!arguments.empty()) {
            msiexec.addEncodedArg(withLog ? msi::closeOpenQuote(arguments) : arguments);
        }
        if (withLog) {
            msiexec.addEncodedArg(L"/l*v").addEncodedArg(msi::encodeMsiexecArg(log));
        }
        return msiexec;
    };
    const size_t withoutLog = build(false).commandLine().size();
    if (withoutLog > Executor::maxCommandLineLength) {
        // Windows refuses such a line (error 206, whose text speaks of a file name), and Wine would
        // cut it short. The default log is not counted: it is left out before the arguments are.
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder()
             << "Cannot start msiexec.exe: its command line would be " << withoutLog
             << " characters long, and the system allows at most " << Executor::maxCommandLineLength
             << " (system error " << ERROR_FILENAME_EXCED_RANGE << "): " << arguments.size()
             << " characters of arguments as they were typed, and " << withoutLog - arguments.size()
             << " that the launcher adds (msiexec's path, " << verb << " and the " << (verb == L"/x" ? "product code" : "package's path")
             << "). Pass fewer or shorter arguments.")
                .utf8()));
    }
    if (!log.empty() && build(true).commandLine().size() > Executor::maxCommandLineLength) {
        if (Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING, tstrings::MessageBuilder() << "No install log: with /l*v [" << log
                                                                << "] msiexec.exe's command line would be too long");
        }
        FileUtils::deleteFile(log, std::nothrow);
        log.clear();
    }
    return build(!log.empty());
}

namespace {

// The installer's library, loaded while msiexec runs, for the rest of the run. At namespace scope:
// a function's static would need a guard, which brings the thread library into the launcher.
UniqueModule installerLibrary;

} // namespace

int runMsiexec(Executor msiexec) {
    // What follows msiexec asks the installer (the package cache's clean-up): its library is
    // loaded while msiexec runs, which on Wine takes tens of milliseconds, instead of after it.
    msiexec.setProcessStartedHook([](HANDLE) {
        runReporting([] {
            if (!installerLibrary) {
                installerLibrary.reset(LoadLibraryW(FileUtils::joinPath(SysInfo::getSystemDir(), L"msi.dll").c_str()));
            }
        });
    });
    try {
        return msiexec.execAndWaitForExit();
    } catch (const SysError& e) {
        // The system call and msiexec's whole line are for whoever debugs; the user gets the reason.
        reportException(SourceLocation(), e);
        const tstring path = SysInfo::getMsiexecPath();
        tstrings::MessageBuilder message;
        message << "Cannot start " << path << ": ";
        if (e.code() == ERROR_FILE_NOT_FOUND || e.code() == ERROR_PATH_NOT_FOUND) {
            message << "the file does not exist, so Windows Installer is missing or damaged on this system";
        } else {
            message << systemMessageDescription(e.code());
        }
        message << " (system error " << e.code() << ").";
        throw TervoError<std::runtime_error>(std::runtime_error(message.utf8()));
    }
}

void reportMsiexecFailure(int status, const tstring& log, const tstring& programName) noexcept {
    runReporting([&] {
        std::string description = "No description";
        runReporting([&] { description = msi::describeStatus(static_cast<UINT>(status)); });
        while (!description.empty() && (description.back() == '.' || description.back() == ' ')) {
            description.pop_back();
        }
        tstrings::MessageBuilder line;
        line << programName << ": msiexec.exe ended with status " << static_cast<UINT>(status) << " ("
             << tstrings::decodeUtf8(description) << ")";
        if (!log.empty()) {
            tstring where = log;
            runReporting([&] { where = FileUtils::toAbsolutePath(log); });
            // Only a file that is there after the run is worth looking for.
            if (FileUtils::pathExists(where) && !FileUtils::isDirectory(where)) {
                line << ". Log: " << where;
            } else {
                line << "; msiexec.exe wrote no log at " << where;
            }
        }
        writeStandardError(tstrings::encodeUtf8(tstrings::printable(line.str())) + "\n");
    });
}
