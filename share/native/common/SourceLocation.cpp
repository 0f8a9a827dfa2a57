#include "SourceLocation.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <thread>
#include <vector>

#include "PathUtils.h"

namespace {

constexpr std::string_view anonymousNamespace = "`anonymous-namespace'";

// Guards the table of normalized names for one lookup. Not std::mutex: its failure path, a
// std::system_error, alone adds 8 KB to every launcher.
class SpinLock {
public:
    SpinLock() {
        while (busy.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    ~SpinLock() { busy.clear(std::memory_order_release); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

private:
    static inline std::atomic_flag busy;
};

bool isIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

void replaceEvery(std::string& text, std::string_view search, std::string_view replacement) {
    for (size_t pos = 0; (pos = text.find(search, pos)) != std::string::npos; pos += replacement.size()) {
        text.replace(pos, search.size(), replacement);
    }
}

// Template parameters from GCC's trailing " [with T = x; U = y]".
std::vector<std::pair<std::string, std::string>> parseTemplateBindings(std::string_view bindings) {
    std::vector<std::pair<std::string, std::string>> result;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i <= bindings.size(); ++i) {
        const char c = i < bindings.size() ? bindings[i] : ';';
        if (c == '<' || c == '(') {
            ++depth;
        } else if (c == '>' || c == ')') {
            --depth;
        } else if (c == ';' && depth == 0) {
            const std::string_view item = bindings.substr(start, i - start);
            const size_t eq = item.find(" = ");
            if (eq != std::string_view::npos) {
                // "T" for a type parameter, "int N" for a value parameter: the name is the last word.
                std::string_view name = item.substr(0, eq);
                const size_t space = name.rfind(' ');
                if (space != std::string_view::npos) {
                    name.remove_prefix(space + 1);
                }
                result.emplace_back(std::string(name), std::string(item.substr(eq + 3)));
            }
            start = i + 1;
        }
    }
    return result;
}

bool isTypeKeywordText(std::string_view value) {
    static constexpr std::string_view builtins[] = {
        "void", "bool", "char", "wchar_t", "char8_t", "char16_t", "char32_t", "short", "int", "long",
        "float", "double", "signed", "unsigned", "class ", "struct ", "enum ", "union "};
    for (std::string_view b : builtins) {
        if (value.substr(0, b.size()) == b) {
            return true;
        }
    }
    return false;
}

// Class types are written with their key word, as "class msi::uninstall"; values and
// fundamental types stay as they are.
std::string templateArgumentText(const std::string& value) {
    if (value.empty() ||
        !(std::isalpha(static_cast<unsigned char>(value[0])) || value[0] == '_' || value[0] == ':' || value[0] == '`') ||
        isTypeKeywordText(value) || value == "true" || value == "false") {
        return value;
    }
    return "class " + value;
}

void substituteTemplateParameters(std::string& name, const std::vector<std::pair<std::string, std::string>>& bindings) {
    for (const auto& [param, value] : bindings) {
        const std::string replacement = templateArgumentText(value);
        size_t pos = 0;
        while ((pos = name.find(param, pos)) != std::string::npos) {
            const bool startsWord = pos == 0 || (!isIdentifierChar(name[pos - 1]) && name[pos - 1] != ':');
            const size_t end = pos + param.size();
            const bool endsWord = end == name.size() || !isIdentifierChar(name[end]);
            if (startsWord && endsWord) {
                name.replace(pos, param.size(), replacement);
                pos += replacement.size();
            } else {
                pos = end;
            }
        }
    }
}

// The position where the qualified name starts, scanning back from `end` over template
// brackets to the space that separates it from the return type.
size_t qualifiedNameStart(std::string_view head, size_t end) {
    int depth = 0;
    for (size_t i = end; i > 0; --i) {
        const char c = head[i - 1];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            return i;
        }
    }
    return 0;
}

// Index of the "operator" key word that names the function, or npos.
size_t operatorKeyword(std::string_view head) {
    constexpr std::string_view keyword = "operator";
    size_t found = std::string_view::npos;
    for (size_t pos = head.find(keyword); pos != std::string_view::npos; pos = head.find(keyword, pos + 1)) {
        const bool startsWord = pos == 0 || !isIdentifierChar(head[pos - 1]);
        const size_t end = pos + keyword.size();
        const bool endsWord = end == head.size() || !isIdentifierChar(head[end]);
        if (startsWord && endsWord) {
            found = pos;
        }
    }
    return found;
}

// "operator()" becomes "operator ()", "operator<<" becomes "operator <<".
void spaceOperatorSymbol(std::string& name) {
    const size_t pos = operatorKeyword(name);
    if (pos == std::string::npos) {
        return;
    }
    const size_t end = pos + 8;
    if (end < name.size() && name[end] != ' ' && !isIdentifierChar(name[end])) {
        name.insert(end, 1, ' ');
    }
}

// Index just past the symbol of an "operator" key word at `pos` ("<<", "()", "->"...), so that
// its brackets are not taken for template or parameter brackets.
size_t skipOperatorSymbol(std::string_view text, size_t pos) {
    size_t i = pos + 8;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    if (text.substr(i, 2) == "()") {
        return i + 2;
    }
    while (i < text.size() && std::string_view("<>=!+-*/%^&|~,[]").find(text[i]) != std::string_view::npos) {
        ++i;
    }
    return i;
}

// Where the outermost lambda of a GCC signature begins ("f(int)::<lambda()>"), or npos. A lambda
// type inside template or parameter brackets is part of a name, not the function it ran in.
size_t outermostLambda(std::string_view text) {
    constexpr std::string_view marker = "::<lambda";
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (depth == 0 && text.substr(i, marker.size()) == marker) {
            return i;
        }
        const char c = text[i];
        if (text.substr(i, 8) == "operator" && (i == 0 || !isIdentifierChar(text[i - 1])) &&
            (i + 8 == text.size() || !isIdentifierChar(text[i + 8]))) {
            i = skipOperatorSymbol(text, i) - 1;
        } else if (c == '<' || c == '(' || c == '[') {
            ++depth;
        } else if (c == '>' || c == ')' || c == ']') {
            --depth;
        }
    }
    return std::string_view::npos;
}

// The end of the balanced "<...>" that starts at `open`.
size_t closingBracket(std::string_view text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        if (text[i] == '<') {
            ++depth;
        } else if (text[i] == '>' && --depth == 0) {
            return i;
        }
    }
    return text.size();
}

// GCC writes the function around a lambda with its template arguments filled in:
// "msi::action<msi::uninstall>::operator ()", "Db::get<long int>". Everywhere else a class's
// arguments read "class msi::uninstall" and a function template shows no arguments.
std::string enclosingFunctionName(std::string name) {
    const size_t nameEnd = std::min(operatorKeyword(name), name.size());
    if (nameEnd > 0 && name[nameEnd - 1] == '>') {
        int depth = 0;
        for (size_t i = nameEnd; i > 0; --i) {
            if (name[i - 1] == '>') {
                ++depth;
            } else if (name[i - 1] == '<' && --depth == 0) {
                name.erase(i - 1, nameEnd - (i - 1));
                break;
            }
        }
    }
    std::string result;
    const size_t end = std::min(operatorKeyword(name), name.size());
    size_t pos = 0;
    for (size_t open = name.find('<'); open < end; open = name.find('<', pos)) {
        const size_t close = closingBracket(name, open);
        result.append(name, pos, open + 1 - pos);
        std::string_view arguments = std::string_view(name).substr(open + 1, close - open - 1);
        int depth = 0;
        size_t start = 0;
        for (size_t i = 0; i <= arguments.size(); ++i) {
            const char c = i < arguments.size() ? arguments[i] : ',';
            if (c == '<') {
                ++depth;
            } else if (c == '>') {
                --depth;
            } else if (c == ',' && depth == 0) {
                std::string_view argument = arguments.substr(start, i - start);
                while (!argument.empty() && argument.front() == ' ') {
                    argument.remove_prefix(1);
                }
                result += (start == 0 ? "" : ", ") + templateArgumentText(std::string(argument));
                start = i + 1;
            }
        }
        pos = close;
    }
    result.append(name, pos, std::string::npos);
    return result;
}

} // namespace

std::string normalizedFunctionName(std::string_view prettyName) {
    std::string text(prettyName);
    replaceEvery(text, "{anonymous}", anonymousNamespace);
    replaceEvery(text, "(anonymous namespace)", anonymousNamespace);

    // A lambda's own name and its " [with auto:1 = int]" tell nothing about where it ran.
    const size_t lambda = outermostLambda(text);
    if (lambda != std::string::npos) {
        return enclosingFunctionName(normalizedFunctionName(std::string_view(text).substr(0, lambda)));
    }

    std::vector<std::pair<std::string, std::string>> bindings;
    const size_t with = text.rfind(" [with ");
    if (with != std::string::npos && text.back() == ']') {
        bindings = parseTemplateBindings(std::string_view(text).substr(with + 7, text.size() - with - 8));
        text.erase(with);
    }

    std::string_view signature = text;
    static constexpr std::string_view qualifiers[] = {" const", " volatile", " &&", " &", " noexcept"};
    for (bool stripped = true; stripped;) {
        stripped = false;
        for (std::string_view q : qualifiers) {
            if (signature.size() > q.size() && signature.substr(signature.size() - q.size()) == q) {
                signature.remove_suffix(q.size());
                stripped = true;
            }
        }
    }

    std::string_view head = signature;
    if (!signature.empty() && signature.back() == ')') {
        int depth = 0;
        for (size_t i = signature.size(); i > 0; --i) {
            const char c = signature[i - 1];
            if (c == ')') {
                ++depth;
            } else if (c == '(' && --depth == 0) {
                head = signature.substr(0, i - 1);
                break;
            }
        }
    }

    const size_t op = operatorKeyword(head);
    const size_t start = qualifiedNameStart(head, op == std::string_view::npos ? head.size() : op);
    std::string name(head.substr(start));
    substituteTemplateParameters(name, bindings);
    spaceOperatorSymbol(name);
    return name;
}

namespace {

std::map<const char*, std::string>* normalizedNames = nullptr;

} // namespace

const char* normalizeFunctionName(const char* prettyName) {
    if (!prettyName) {
        return "";
    }
    const SpinLock lock;
    // Made under the lock, not as a guarded local static: the guard would bring the runtime's
    // thread library (a tenth of the launcher) into every program. Never destroyed: locations may
    // be built while static objects are torn down.
    if (!normalizedNames) {
        normalizedNames = new std::map<const char*, std::string>;
    }
    std::map<const char*, std::string>* const names = normalizedNames;
    auto found = names->find(prettyName);
    if (found == names->end()) {
        found = names->emplace(prettyName, normalizedFunctionName(prettyName)).first;
    }
    return found->second.c_str();
}

SourceLocation::SourceLocation(const char* file, const char* function, int line)
    : file(file), function(function), line(line) {}

SourceLocation::SourceLocation(const std::source_location& where)
    : file(where.file_name()), function(normalizeFunctionName(where.function_name())),
      line(static_cast<int>(where.line())) {}

tstring sourceFileName(const SourceLocation& location) {
    return FileUtils::leafName(tstrings::decodeUtf8(location.file ? location.file : ""));
}
