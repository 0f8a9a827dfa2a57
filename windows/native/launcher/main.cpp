// The launcher: hands the package it carries to the system's msiexec.exe with the verb it is
// given (install when none), removes its product when run with the argument "uninstall", writes
// the package out with /extract, and says how to use it with /?.
#include <new>

#include "FileUtils.h"
#include "InstallLog.h"
#include "LauncherCommandLine.h"
#include "LauncherProduct.h"
#include "LauncherUsage.h"
#include "MsiUtils.h"
#include "MsiexecArgs.h"
#include "MsiexecCommand.h"
#include "PackageCache.h"
#include "PackageExtraction.h"
#include "SysInfo.h"
#include "TempFolder.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

// The process exit status; only the driver writes it, after everything that can fail, or for a
// refused command line right before the refusal passes up.
int exitCode = -1;

// Receives the launcher's own failure for the run's log, once the log exists.
InstallLog::FailureAppender failureLog;

// The verbose log msiexec gets when the command line names none, made now in the temporary folder
// `tempFolder`; empty without one.
tstring createDefaultLog(const LauncherCommandLine& commandLine, const LauncherProduct& product, const tstring& tempFolder) {
    if (commandLine.namesLog() || !product.keepsDefaultLog()) {
        return {};
    }
    SYSTEMTIME start;
    GetLocalTime(&start);
    const tstring log = InstallLog::create(tempFolder, product.logBaseName(), start);
    failureLog.setLog(log, product.programName());
    return log;
}

// What a refused line leaves: its exit code, and the refusal in the run's default log.
LauncherCommandLine::Action readAction(const LauncherCommandLine& commandLine, const LauncherProduct& product) {
    try {
        return commandLine.action(product.programName());
    } catch (const CommandLineError&) {
        exitCode = ERROR_INVALID_COMMAND_LINE;
        // Nothing may take the refusal's place.
        runReporting([&] { createDefaultLog(commandLine, product, SysInfo::getTempDir()); });
        throw;
    }
}

// Ends the run with msiexec's status, and a line on standard error when it failed.
void finishWith(int status, const LauncherCommandLine& commandLine, const tstring& log, const LauncherProduct& product) {
    if (!msi::isSuccessStatus(static_cast<UINT>(status))) {
        reportMsiexecFailure(status, commandLine.namesLog() ? commandLine.namedLog() : log, product.programName());
    }
    exitCode = status;
}

// msiexec <verb> <package> <text>: the package written to its cache folder, or a new temporary
// directory, first.
void runWithPackage(const LauncherCommandLine& commandLine, const LauncherProduct& product) {
    tstring log = createDefaultLog(commandLine, product, usableTempFolder());
    PackageCache::Placement placement(commandLine, product);
    const int status = runMsiexec(msiexecCommand(commandLine.verb(), msi::encodeMsiexecArg(placement.packagePath()),
                                                 commandLine.installerArguments(), log));
    // After msiexec, which starts its log afresh.
    if (!log.empty() && !placement.noCacheReason().empty()) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        InstallLog::appendRecord(log, now, product.programName(), tstrings::encodeUtf8(placement.noCacheReason()));
    }
    placement.finish(status);
    finishWith(status, commandLine, log, product);
}

// msiexec /x <product code> <text>: nothing is written but the log.
void removeWithMsiexec(const LauncherCommandLine& commandLine, const LauncherProduct& product) {
    const Guid productCode = product.confirmedProductCode();
    tstring log = createDefaultLog(commandLine, product, usableTempFolder());
    const int status = runMsiexec(
        msiexecCommand(commandLine.verb(), productCode.toString(), commandLine.installerArguments(), log));
    if (msi::isSuccessStatus(static_cast<UINT>(status)) || status == ERROR_UNKNOWN_PRODUCT) {
        PackageCache::removeProduct(productCode);
    }
    PackageCache::prune();
    finishWith(status, commandLine, log, product);
}

void uninstall(const LauncherProduct& product) {
    const Guid productCode = product.confirmedProductCode();
    UINT status = ERROR_SUCCESS;
    {
        const msi::UiLevelGuard uiLevel(INSTALLUILEVEL_NONE);
        msi::uninstall action;
        action.productCode(productCode);
        status = action(std::nothrow).getCode();
    }
    if (msi::isSuccessStatus(status) || status == ERROR_UNKNOWN_PRODUCT) {
        PackageCache::removeProduct(productCode);
    }
    PackageCache::prune();
    exitCode = static_cast<int>(status);
}

void extract(const LauncherCommandLine& commandLine, const LauncherProduct& product) {
    writeStandardOutput(tstrings::encodeUtf8(extractPackage(commandLine.extractFolder(), product)) + "\n");
    PackageCache::prune();
    exitCode = 0;
}

void launcherMain() {
    const LauncherCommandLine commandLine(GetCommandLineW());
    app::setDialogsAllowed(commandLine.allowsDialogs());
    const LauncherProduct product(SysInfo::getCurrentModuleHandle(), SysInfo::getCurrentModulePath());
    switch (readAction(commandLine, product)) {
    case LauncherCommandLine::Action::Install:
    case LauncherCommandLine::Action::Repair:
    case LauncherCommandLine::Action::Administer:
    case LauncherCommandLine::Action::Advertise:
        runWithPackage(commandLine, product);
        break;
    case LauncherCommandLine::Action::Remove:
        removeWithMsiexec(commandLine, product);
        break;
    case LauncherCommandLine::Action::Uninstall:
        uninstall(product);
        break;
    case LauncherCommandLine::Action::Extract:
        extract(commandLine, product);
        break;
    case LauncherCommandLine::Action::Help:
        showUsage(product.programName());
        exitCode = 0;
        break;
    }
}

// A setup.exe often runs from a download folder that may hold a planted DLL: libraries loaded
// from here on (msi.dll among them) come from the system directory only. Windows 7 without
// KB2533623 lacks the call, so it is looked up rather than imported; there msi.dll is loaded
// now by its full path, and the late binding finds it loaded; the result holds it for the run.
UniqueModule restrictLibrarySearch() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        return UniqueModule();
    }
    wchar_t systemDir[MAX_PATH];
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return UniqueModule();
    }
    return UniqueModule(LoadLibraryW((tstring(systemDir, length) + L"\\msi.dll").c_str()));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const UniqueModule preloadedMsi = restrictLibrarySearch();
    app::wlaunch(std::nothrow, launcherMain, &failureLog);
    return exitCode;
}
