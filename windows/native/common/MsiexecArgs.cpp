#include "MsiexecArgs.h"

#include <algorithm>
#include <cwctype>

namespace msi {

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

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

tstring quoted(const tstring& text) { return L'"' + tstrings::replaceAll(text, L"\"", L"\"\"") + L'"'; }

// Splits `line` into `tokens`; true when it ends inside a quoted stretch.
bool scanCommandLine(const tstring& line, std::vector<CommandLineToken>& tokens) {
    size_t at = 0;
    for (;;) {
        while (at < line.size() && isBlank(line[at])) {
            ++at;
        }
        if (at == line.size()) {
            return false;
        }
        const size_t start = at;
        tstring value;
        bool inQuotes = false;
        for (; at < line.size() && (inQuotes || !isBlank(line[at])); ++at) {
            if (line[at] != L'"') {
                value += line[at];
            } else if (inQuotes && at + 1 < line.size() && line[at + 1] == L'"') {
                value += L'"';
                ++at;
            } else {
                inQuotes = !inQuotes;
            }
        }
        tokens.push_back({line.substr(start, at - start), value, start});
        if (inQuotes) {
            return true;
        }
    }
}

} // namespace

std::vector<CommandLineToken> splitCommandLine(const tstring& line) {
    std::vector<CommandLineToken> tokens;
    scanCommandLine(line, tokens);
    return tokens;
}

tstring closeOpenQuote(const tstring& line) {
    std::vector<CommandLineToken> tokens;
    return scanCommandLine(line, tokens) ? line + L'"' : line;
}

tstring removeTokens(const tstring& line, const std::vector<CommandLineToken>& tokens,
                     const std::vector<size_t>& removed) {
    tstring result;
    size_t kept = 0;  // the line up to here is in the result or removed
    for (size_t index : removed) {
        const CommandLineToken& token = tokens.at(index);
        size_t end = token.offset + token.text.size();
        while (end < line.size() && isBlank(line[end])) {
            ++end;
        }
        result += line.substr(kept, token.offset - kept);
        if (end == line.size()) {
            while (!result.empty() && isBlank(result.back())) {
                result.pop_back();
            }
        }
        kept = end;
    }
    return result + line.substr(std::min(kept, line.size()));
}

tstring commandLineTail(const tstring& commandLine) {
    size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const size_t closing = commandLine.find(L'"', 1);
        at = closing == tstring::npos ? commandLine.size() : closing + 1;
    } else {
        while (at < commandLine.size() && !isBlank(commandLine[at])) {
            ++at;
        }
    }
    while (at < commandLine.size() && isBlank(commandLine[at])) {
        ++at;
    }
    return commandLine.substr(at);
}

tstring encodeMsiexecArg(const tstring& arg) {
    const auto plain = [](const tstring& text) {
        return !text.empty() && std::none_of(text.begin(), text.end(), needsQuotes);
    };
    const size_t equals = arg.find(L'=');
    if (equals != tstring::npos && isPropertyName(arg.substr(0, equals))) {
        const tstring value = arg.substr(equals + 1);
        return plain(value) ? arg : arg.substr(0, equals + 1) + quoted(value);
    }
    return plain(arg) ? arg : quoted(arg);
}

} // namespace msi
