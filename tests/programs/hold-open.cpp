// Waits for a launcher's working directory to appear and keeps its package open, without delete
// sharing, until told to let go: hold-open TEMP_DIR EVENT_NAME
// Prints "held=<path>" once it holds the package. Lets go when the named event (made by the
// caller) is set, or after two minutes; exits 1 when no package appeared within a minute.
#include <cstdio>
#include <string>

#include "WinHeaders.h"
#include "tstrings.h"

namespace {

// The first main.msi inside a *.tmp directory of `tempDir`, opened for reading; others may read it too.
HANDLE openPackage(const std::wstring& tempDir, std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((tempDir + L"\\*.tmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            path = tempDir + L"\\" + entry.cFileName + L"\\main.msi";
            file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        }
    } while (file == INVALID_HANDLE_VALUE && FindNextFileW(find, &entry));
    FindClose(find);
    return file;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: hold-open TEMP_DIR EVENT_NAME\n", stderr);
        return 2;
    }
    const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (!release) {
        std::fprintf(stderr, "OpenEvent failed: %lu\n", GetLastError());
        return 2;
    }
    std::wstring path;
    HANDLE file = INVALID_HANDLE_VALUE;
    const DWORD start = GetTickCount();
    while ((file = openPackage(argv[1], path)) == INVALID_HANDLE_VALUE) {
        if (GetTickCount() - start > 60000) {
            std::puts("nothing held");
            return 1;
        }
        Sleep(1);
    }
    std::printf("held=%s\n", tstrings::encodeUtf8(path).c_str());
    std::fflush(stdout);
    WaitForSingleObject(release, 120000);
    CloseHandle(file);
    CloseHandle(release);
    return 0;
}
