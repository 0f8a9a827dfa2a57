// A child process for the process tests:
//   test_child exit CODE       exits with CODE (decimal, or hexadecimal after 0x)
//   test_child record FILE ... writes "line=<command line>", "startup=<flags> <show-window>" and
//                              "injob=<0|1>" to FILE, one per line, and exits with 0
#include <cwchar>
#include <fstream>

#include "WinHeaders.h"
#include "tstrings.h"

#include <shellapi.h>

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv || count < 3) {
        return 2;
    }
    const tstring command = argv[1];
    if (command == L"exit") {
        return static_cast<int>(wcstoul(argv[2], nullptr, 0));
    }
    if (command != L"record") {
        return 2;
    }
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    std::ofstream out(argv[2], std::ios::binary);
    out << "line=" << tstrings::encodeUtf8(GetCommandLineW()) << "\nstartup=" << startup.dwFlags << " "
        << startup.wShowWindow << "\ninjob=" << (inJob ? 1 : 0) << "\n";
    return out.good() ? 0 : 3;
}
