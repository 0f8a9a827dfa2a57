// Stands in for the system's msiexec.exe: splits its raw command line the way msiexec documents
// and writes the tokens after its own name to the file named by TERVO_TEST_MSIEXEC_TOKENS, UTF-16,
// each followed by a zero; the raw line itself goes, UTF-16 as it came, to that name and ".line".
// It exits with TERVO_TEST_MSIEXEC_EXIT when that is set, else 0.
#include <cstdlib>
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
    const auto save = [](const std::wstring& name, const std::wstring& content) {
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        DWORD written = 0;
        const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        const BOOL ok = WriteFile(file, content.data(), size, &written, nullptr);
        CloseHandle(file);
        return ok && written == size;
    };
    wchar_t exit[16] = {};
    const int code = GetEnvironmentVariableW(L"TERVO_TEST_MSIEXEC_EXIT", exit, 16) ? _wtoi(exit) : 0;
    // The tokens file last: a test that finds it finds the raw line too.
    return save(std::wstring(path) + L".line", GetCommandLineW()) && save(path, text) ? code : 4;
}
