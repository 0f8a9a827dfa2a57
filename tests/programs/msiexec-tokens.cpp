// Stands in for the system's msiexec.exe: splits its raw command line the way msiexec documents
// (blanks and tabs end a token outside double quotes; a double quote opens or closes a quoted
// stretch; inside one, two double quotes are one literal quote; backslashes are ordinary) and
// writes the tokens after its own name to the file named by TERVO_TEST_MSIEXEC_TOKENS, UTF-16,
// each followed by a zero. Written on its own, apart from the code that encodes the arguments.
#include <string>
#include <vector>

#include "WinHeaders.h"

namespace {

std::vector<std::wstring> tokens(const wchar_t* line) {
    std::vector<std::wstring> result;
    const wchar_t* p = line;
    for (;;) {
        while (*p == L' ' || *p == L'\t') {
            ++p;
        }
        if (!*p) {
            return result;
        }
        std::wstring token;
        bool quoted = false;
        for (; *p && (quoted || (*p != L' ' && *p != L'\t')); ++p) {
            if (*p != L'"') {
                token += *p;
            } else if (quoted && p[1] == L'"') {
                token += L'"';
                ++p;
            } else {
                quoted = !quoted;
            }
        }
        result.push_back(token);
    }
}

} // namespace

int wmain(int, wchar_t**) {
    wchar_t path[MAX_PATH * 4] = {};
    if (!GetEnvironmentVariableW(L"TERVO_TEST_MSIEXEC_TOKENS", path, MAX_PATH * 4)) {
        return 2;
    }
    const std::vector<std::wstring> all = tokens(GetCommandLineW());
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
