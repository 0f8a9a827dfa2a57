#include "PathUtils.h"

#include <algorithm>

#include "FileNameRules.h"

namespace FileUtils {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isPlainFileName(const tstring& name) { return fileNameProblem(std::u16string(name.begin(), name.end())).empty(); }

tstring toFileNamePart(const tstring& text, size_t maxLength) {
    tstring part = text.substr(0, maxLength);
    if (!part.empty() && part.size() < text.size() && part.back() >= 0xD800 && part.back() <= 0xDBFF) {
        part.pop_back();
    }
    std::replace_if(part.begin(), part.end(), [](wchar_t c) { return isForbiddenInFileName(static_cast<char16_t>(c)); }, L'_');
    while (!part.empty() && (part.back() == L' ' || part.back() == L'.')) {
        part.pop_back();
    }
    return part;
}

tstring parentPath(const tstring& path) {
    size_t searchEnd = path.size();
    if (tstrings::hasSuffix(path, L"/.") || tstrings::hasSuffix(path, L"\\.")) {
        searchEnd -= 2;
    }
    size_t separator = tstring::npos;
    for (size_t i = searchEnd; i > 0; --i) {
        if (isSeparator(path[i - 1])) {
            separator = i - 1;
            break;
        }
    }
    if (separator == tstring::npos) {
        return {};
    }
    for (size_t i = separator + 1; i > 0; --i) {
        if (!isSeparator(path[i - 1])) {
            return path.substr(0, i);
        }
    }
    return {};
}

tstring leafName(const tstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == tstring::npos) {
        return path;
    }
    return path.substr(separator + 1);
}

tstring extensionOf(const tstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == tstring::npos) {
        return {};
    }
    if (path.find_first_of(L"\\/", dot) != tstring::npos) {
        return {};
    }
    // A last component "..": the dot is preceded by a dot that starts the path or a component.
    if (dot > 0 && path[dot - 1] == L'.' && (dot == 1 || isSeparator(path[dot - 2]))) {
        return {};
    }
    return path.substr(dot);
}

tstring withExtension(const tstring& path, const tstring& extension) {
    const tstring current = extensionOf(path);
    return path.substr(0, path.size() - current.size()) + extension;
}

tstring joinPath(const tstring& first, const tstring& second) {
    if (first.empty()) {
        return second;
    }
    if (second.empty()) {
        return first;
    }
    const tstring tail = isSeparator(second.front()) ? second.substr(1) : second;
    return trimTrailingSeparators(first) + L'\\' + tail;
}

tstring trimTrailingSeparators(const tstring& path) {
    size_t end = path.size();
    while (end > 0 && isSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

tstring foldPath(const tstring& path) {
    tstring result = path;
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return tstrings::lowercase(result);
}

} // namespace FileUtils
