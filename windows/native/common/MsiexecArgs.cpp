#include "MsiexecArgs.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>

#include "ErrorHandling.h"

namespace msi {

namespace {

// Quoted even where msiexec would not split on it: a quote costs nothing and keeps the token whole.
bool needsQuotes(wchar_t c) { return c == L'"' || c <= L' ' || std::iswspace(c); }

// Windows Installer property names: a letter or underscore, then letters, digits, underscores, periods.
bool isPropertyName(const tstring& name) {
    const auto isLetter = [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_';
    };
    return !name.empty() && isLetter(name.front()) && std::all_of(name.begin(), name.end(), [&](wchar_t c) {
        return isLetter(c) || (c >= L'0' && c <= L'9') || c == L'.';
    });
}

} // namespace

tstring encodeMsiexecArg(const tstring& arg) {
    const auto plain = [](const tstring& text) {
        return !text.empty() && std::none_of(text.begin(), text.end(), needsQuotes);
    };
    const size_t equals = arg.find(L'=');
    if (equals != tstring::npos && isPropertyName(arg.substr(0, equals))) {
        const tstring value = arg.substr(equals + 1);
        if (plain(value)) {
            return arg;
        }
        return arg.substr(0, equals + 1) + L'"' + tstrings::replaceAll(value, L"\"", L"\"\"") + L'"';
    }
    if (plain(arg)) {
        return arg;
    }
    if (arg.find(L'"') != tstring::npos) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "The argument [" << arg
                                        << "] cannot reach msiexec.exe unchanged: only a property value "
                                           "(NAME=value) may hold a double quote")
                .utf8()));
    }
    return L'"' + arg + L'"';
}

} // namespace msi
