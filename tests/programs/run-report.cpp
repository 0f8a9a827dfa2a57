// Runs a command line, waits for it, and prints its full 32-bit exit code: run-report "COMMAND LINE"
// Standard handles are inherited, so the child's standard error passes through.
#include <cstdio>
#include <vector>

#include "WinHeaders.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: run-report \"COMMAND LINE\"\n", stderr);
        return 2;
    }
    std::vector<wchar_t> line(argv[1], argv[1] + wcslen(argv[1]) + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::fflush(stderr);
    std::printf("exit=%lu\n", code);
    return 0;
}
