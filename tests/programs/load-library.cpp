// Loads a library by name with the ordinary search order and exits 0 when it loaded:
// load-library NAME
#include "WinHeaders.h"

int wmain(int argc, wchar_t** argv) {
    return argc == 2 && LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
