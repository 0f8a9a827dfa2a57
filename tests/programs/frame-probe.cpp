// A GUI program built on the launch frame whose driver does what its arguments say:
//   tervo-error TEXT | runtime-error | bad-alloc | int | sys-error PATH | return CODE
//   stream-syncs: writes a line through std::cout; the exit code is the number of times the
//     frame synchronised the standard iostreams, or -2 when nothing had registered the synchronisation
//   early-record [unknown | long]: no frame; writes one record before any sink is installed, with the
//     module path unreadable or 300 characters long
// TERVO_PROBE_SESSION=hidden-station or session-0 makes the process see a window station that
// nobody sees, or session 0 where services run.
#include <cerrno>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>

#include "ErrorHandling.h"
#include "ImportHook.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

int exitCode = -1;

void (*registeredSync)() = nullptr;
int syncs = 0;

int earlyRecord(const tstring& mode) {
    std::optional<IMPORT_HOOK(GetModuleFileNameW)> modulePath;
    if (mode == L"unknown") {
        modulePath.emplace(failing<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY));
    } else if (mode == L"long") {
        modulePath.emplace(answerModulePath(L"C:\\" + tstring(300, L'x')));
    }
    logAt(Severity::INFO, tstrings::MessageBuilder() << "before any sink");
    return 0;
}

void driver() {
    const tstring_array args = SysInfo::getCommandArgs(ExcludeProgramName);
    const tstring kind = args.empty() ? tstring() : args[0];
    const tstring value = args.size() > 1 ? args[1] : tstring();
    if (kind == L"tervo-error") {
        throw TervoError<std::runtime_error>(std::runtime_error(tstrings::encodeUtf8(value)));
    }
    if (kind == L"runtime-error") {
        errno = ENOENT;
        throw std::runtime_error("not shown");
    }
    if (kind == L"bad-alloc") {
        throw std::bad_alloc();
    }
    if (kind == L"int") {
        throw 42;
    }
    if (kind == L"sys-error") {
        const HANDLE file = CreateFileW(value.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = GetLastError();
        CloseHandle(file);
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "CreateFile(" << value << ") failed", CreateFileW, error));
    }
    if (kind == L"stream-syncs") {
        std::cout << (tstrings::MessageBuilder() << "via cout") << std::endl;
        return;
    }
    if (kind == L"return") {
        exitCode = std::stoi(value);
        return;
    }
    throw TervoError<std::runtime_error>(std::runtime_error("unknown probe command"));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const tstring session = SysInfo::getEnvVariable(std::nothrow, L"TERVO_PROBE_SESSION", L"");
    std::optional<IMPORT_HOOK(GetUserObjectInformationW)> station;
    std::optional<IMPORT_HOOK(ProcessIdToSessionId)> sessionId;
    if (session == L"hidden-station") {
        station.emplace([](auto original, HANDLE object, int index, PVOID info, DWORD size, LPDWORD needed) {
            const BOOL read = original(object, index, info, size, needed);
            if (read && index == UOI_FLAGS) {
                static_cast<USEROBJECTFLAGS*>(info)->dwFlags &= ~DWORD{WSF_VISIBLE};
            }
            return read;
        });
    } else if (session == L"session-0") {
        sessionId.emplace([](auto, DWORD, DWORD* id) -> BOOL {
            *id = 0;
            return TRUE;
        });
    }
    const tstring_array args = SysInfo::getCommandArgs(ExcludeProgramName);
    if (!args.empty() && args[0] == L"early-record") {
        return earlyRecord(args.size() > 1 ? args[1] : tstring());
    }
    registeredSync = app::syncStandardStreams;
    app::syncStandardStreams = [] {
        ++syncs;
        if (registeredSync) {
            registeredSync();
        }
    };
    app::wlaunch(std::nothrow, driver);
    if (!args.empty() && args[0] == L"stream-syncs") {
        return registeredSync ? syncs : -2;
    }
    return exitCode;
}
