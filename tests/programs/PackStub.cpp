// A stand-in launcher for the packer's tests: PackStub [OUTPUT [HOLD_MS]]. It reads the resources
// a launcher reads, touching every page of the package, writes RCDATA MSI to OUTPUT, prints one
// NAME=value line for the package size, the product code, the manifest and the stub marker, and
// stays alive HOLD_MS milliseconds more so that a test can look at its memory.
#include <cstdio>
#include <string>

#include "WinHeaders.h"

namespace {

const char* resourceData(const wchar_t* name, const wchar_t* type, DWORD& size) {
    HRSRC found = FindResourceW(nullptr, name, type);
    if (!found) {
        return nullptr;
    }
    size = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    return loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD size = 0;
    const char* package = resourceData(L"MSI", MAKEINTRESOURCEW(10), size);
    if (!package) {
        std::printf("MSI=missing\n");
        return 2;
    }
    unsigned sum = 0;
    for (DWORD i = 0; i < size; i += 4096) {
        sum += static_cast<unsigned char>(package[i]);
    }
    std::printf("MSI=%lu\nTOUCHED=%u\n", size, sum);
    if (argc > 1 && *argv[1]) {
        HANDLE out = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        const bool ok = out != INVALID_HANDLE_VALUE && WriteFile(out, package, size, &written, nullptr) && written == size;
        if (out != INVALID_HANDLE_VALUE) {
            CloseHandle(out);
        }
        if (!ok) {
            std::printf("WRITE=failed\n");
            return 3;
        }
    }
    DWORD codeSize = 0;
    const char* code = resourceData(L"PRODUCT_CODE", MAKEINTRESOURCEW(10), codeSize);
    std::printf("PRODUCT_CODE=%s\n", code ? std::string(code, codeSize).c_str() : "missing");
    DWORD manifestSize = 0;
    std::printf("MANIFEST=%lu\n", resourceData(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24), manifestSize) ? manifestSize : 0);
    DWORD markerSize = 0;
    std::printf("MARKER=%lu\n", resourceData(L"TERVO_LAUNCHER", MAKEINTRESOURCEW(10), markerSize) ? markerSize : 0);
    std::fflush(stdout);
    if (argc > 2) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    }
    return 0;
}
