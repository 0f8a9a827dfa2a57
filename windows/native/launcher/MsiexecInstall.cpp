#include "MsiexecInstall.h"

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "MsiUtils.h"
#include "MsiexecArgs.h"
#include "SysInfo.h"

Executor msiexecInstall(const tstring& packagePath, const tstring& arguments, tstring& log) {
    const auto build = [&](bool withLog) {
        Executor msiexec(SysInfo::getMsiexecPath());
        msiexec.addEncodedArg(L"/i").addEncodedArg(msi::encodeMsiexecArg(packagePath));
        if (!arguments.empty()) {
            msiexec.addEncodedArg(withLog ? msi::closeOpenQuote(arguments) : arguments);
        }
        if (withLog) {
            msiexec.addEncodedArg(L"/l*v").addEncodedArg(msi::encodeMsiexecArg(log));
        }
        return msiexec;
    };
    if (!log.empty() && build(true).commandLine().size() > Executor::maxCommandLineLength &&
        build(false).commandLine().size() <= Executor::maxCommandLineLength) {
        if (Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING, tstrings::MessageBuilder() << "No install log: with /l*v [" << log
                                                                << "] msiexec.exe's command line would be too long");
        }
        FileUtils::deleteFile(log, std::nothrow);
        log.clear();
    }
    return build(!log.empty());
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
            line << ". Log: " << where;
        }
        writeStandardError(line.utf8() + "\n");
    });
}
