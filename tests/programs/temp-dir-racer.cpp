// Makes and removes temporary directories in a loop, for races between processes:
// temp-dir-racer DIRECTORY COUNT EVENT_NAME
// Waits for the named event (made by the caller) before it starts; prints "failures=N" and the
// first failure, and exits with 0 only when every directory was made.
#include <cstdio>
#include <string>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "WinHeaders.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: temp-dir-racer DIRECTORY COUNT EVENT_NAME\n", stderr);
        return 2;
    }
    const HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
    if (!start || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) {
        std::fputs("no start signal\n", stderr);
        return 2;
    }
    NopLogAppender silent;
    Logger::global().installAppender(&silent);
    const int count = _wtoi(argv[2]);
    int failures = 0;
    std::string first;
    for (int i = 0; i < count; ++i) {
        try {
            const tstring path = FileUtils::createTempDirectory(L"", L".tmp", argv[1]);
            RemoveDirectoryW(path.c_str());
        } catch (const std::runtime_error& e) {
            if (failures++ == 0) {
                first = e.what();
            }
        }
    }
    std::printf("failures=%d\n%s\n", failures, first.c_str());
    return failures == 0 ? 0 : 1;
}
