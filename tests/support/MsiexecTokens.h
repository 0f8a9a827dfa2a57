// msiexec's documented rules for splitting a command line, written apart from the launcher's own
// code, for the stand-in msiexec and the tests that check what it read: blanks and tabs end a
// token outside double quotes; a double quote opens or closes a quoted stretch; inside one, two
// double quotes are one literal quote; backslashes are ordinary characters.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::wstring> msiexecTokens(const std::wstring& line) {
    std::vector<std::wstring> result;
    const wchar_t* p = line.c_str();
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
