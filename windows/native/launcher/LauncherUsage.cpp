#include "LauncherUsage.h"

#include "ErrorHandling.h"
#include "Log.h"
#include "SysInfo.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

// <name> stands for the program's file name. The README's table of verbs says the same.
constexpr const wchar_t* lines[] = {
    L"<name> installs the Windows Installer package it carries through msiexec.exe.",
    L"",
    L"<name> [options]            msiexec /i <package> [options]: install",
    L"<name> /x [options]         msiexec /x <product code> [options]: remove (also /uninstall)",
    L"<name> /f[modes] [options]  msiexec /f[modes] <package> [options]: repair",
    L"<name> /repair [options]    msiexec /fvomus <package> [options]: repair everything",
    L"<name> /a [options]         msiexec /a <package> [options]: administrative image",
    L"<name> /ju|/jm [options]    msiexec /ju|/jm <package> [options]: advertise",
    L"<name> uninstall            remove without any installer interface",
    L"<name> /extract <folder>    write the package into <folder>",
    L"<name> /?                   this text (also /h, /help)",
    L"",
    L"[options] are msiexec's own and PROPERTY=value, as msiexec reads them: /qn, /passive,",
    L"/norestart, /l*v <log>, INSTALLDIR=\"C:\\My App\\\" (msiexec /? shows them all).",
    L"Unless they name a log, msiexec also gets /l*v <log> in %TEMP%.",
    L"A line that msiexec would answer with its usage dialog (an unknown option, two verbs,",
    L"an option without its value, a patch) is refused with exit code 1639.",
};

} // namespace

tstring usageText(const tstring& programName) {
    tstring text;
    for (const wchar_t* line : lines) {
        text += tstrings::replaceAll(line, L"<name>", programName) + L"\r\n";
    }
    return text;
}

void showUsage(const tstring& programName) noexcept {
    runReporting([&] {
        const tstring text = usageText(programName);
        writeStandardOutput(tstrings::encodeUtf8(text));
        if (app::dialogsAllowed() && SysInfo::isInteractiveSession()) {
            MessageBoxW(nullptr, text.c_str(), programName.c_str(), MB_ICONINFORMATION);
        }
    });
}
