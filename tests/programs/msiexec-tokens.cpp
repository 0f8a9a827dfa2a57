// Stands in for the system's msiexec.exe: splits its raw command line the way msiexec documents
// and writes the tokens after its own name to the file named by TERVO_TEST_MSIEXEC_TOKENS, UTF-16,
// each followed by a zero.
#include <string>
#include <vector>

#include "MsiexecTokens.h"
#include "WinHeaders.h"

int wmain(int, wchar_t**) {
    wchar_t path[MAX_PATH * 4] = {};
    if (!GetEnvironmentVariableW(L"TERVO_TEST_MSIEXEC_TOKENS", path, MAX_PATH * 4)) {
        return 2;
    }
    const std::vector<std::wstring> all = msiexecTokens(GetCommandLineW());
    std::wstring text;
    for (size_t i = 1; i < all.size(); ++i) {
        text += all[i];
        text += L'\0';
    }
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const BOOL ok = WriteFile(file, text.data(), size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size ? 0 : 4;
}
