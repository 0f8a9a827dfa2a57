// The launcher: installs the package it carries through the system's msiexec.exe, or removes
// its product when run with the argument "uninstall".
#include <algorithm>
#include <new>

#include "EmbeddedPackage.h"
#include "Executor.h"
#include "FileUtils.h"
#include "Guid.h"
#include "MsiUtils.h"
#include "MsiexecArgs.h"
#include "Resources.h"
#include "SysInfo.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

// The process exit status; only the driver writes it, after everything that can fail.
int exitCode = -1;

void install() {
    // Before anything is written: an argument that msiexec could not read back unchanged stops the run.
    tstring_array forwarded;
    for (const tstring& arg : SysInfo::getCommandArgs(ExcludeProgramName)) {
        forwarded.push_back(msi::encodeMsiexecArg(arg));
    }

    const tstring tempDir = FileUtils::createTempDirectory(tstring(), L".tmp", SysInfo::getTempDir());
    FileUtils::DeletionList cleanup;
    cleanup.addDirectoryTree(tempDir);

    const tstring packagePath = FileUtils::PathBuilder() << tempDir << L"main.msi";
    EmbeddedPackage(SysInfo::getCurrentModuleHandle(), SysInfo::getCurrentModulePath()).saveToFile(packagePath);

    Executor msiexec(SysInfo::getMsiexecPath());
    msiexec.addEncodedArg(L"/i").addEncodedArg(msi::encodeMsiexecArg(packagePath));
    for (const tstring& arg : forwarded) {
        msiexec.addEncodedArg(arg);
    }
    exitCode = msiexec.execAndWaitForExit();
}

void uninstall() {
    const std::vector<unsigned char> bytes = Resource(L"product_code", RT_RCDATA, SysInfo::getCurrentModuleHandle()).bytes();
    const Guid productCode(std::string(bytes.begin(), bytes.end()));

    const msi::UiLevelGuard uiLevel(INSTALLUILEVEL_NONE);
    msi::uninstall action;
    action.productCode(productCode);
    const msi::ActionStatus status = action(std::nothrow);
    exitCode = static_cast<int>(status.getCode());
}

void launcherMain() {
    const tstring_array args = SysInfo::getCommandArgs(ExcludeProgramName);
    if (std::find(args.begin(), args.end(), tstring(L"uninstall")) != args.end()) {
        uninstall();
    } else {
        install();
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
    app::wlaunch(std::nothrow, launcherMain);
    return exitCode;
}
