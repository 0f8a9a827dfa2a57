// Runs one SQL statement on an installer database and commits it: msi-edit PACKAGE "SQL"
#include <cstdio>

#include "WinHeaders.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: msi-edit PACKAGE \"SQL\"\n", stderr);
        return 2;
    }
    MSIHANDLE database = 0;
    MSIHANDLE view = 0;
    UINT status = MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, &database);
    if (status == ERROR_SUCCESS) {
        status = MsiDatabaseOpenViewW(database, argv[2], &view);
    }
    if (status == ERROR_SUCCESS) {
        status = MsiViewExecute(view, 0);
        MsiViewClose(view);
        MsiCloseHandle(view);
    }
    if (status == ERROR_SUCCESS) {
        status = MsiDatabaseCommit(database);
    }
    if (database) {
        MsiCloseHandle(database);
    }
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "msi-edit failed: %u\n", status);
    }
    return static_cast<int>(status);
}
