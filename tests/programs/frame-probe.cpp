// A GUI program built on the launch frame whose driver does what its arguments say:
//   tervo-error TEXT | runtime-error | bad-alloc | int | sys-error PATH | return CODE
#include <cerrno>
#include <new>
#include <stdexcept>

#include "ErrorHandling.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

int exitCode = -1;

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
    if (kind == L"return") {
        exitCode = std::stoi(value);
        return;
    }
    throw TervoError<std::runtime_error>(std::runtime_error("unknown probe command"));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    app::wlaunch(std::nothrow, driver);
    return exitCode;
}
