#include "tstrings.h"

#include <cctype>
#include <cwchar>
#include <stdexcept>

#include "ErrorHandling.h"
#include "WinHeaders.h"

namespace tstrings {

namespace {

std::string toMultiByte(const tstring& text, UINT codePage) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int count = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (count == 0) {
        return {};
    }
    std::string result(static_cast<size_t>(count), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), count, nullptr, nullptr) != count) {
        throw TervoError<std::runtime_error>(std::runtime_error("Unexpected reply from WideCharToMultiByte()"));
    }
    return result;
}

tstring fromMultiByte(const std::string& text, UINT codePage) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (count == 0) {
        return {};
    }
    tstring result(static_cast<size_t>(count), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), count) != count) {
        throw TervoError<std::runtime_error>(std::runtime_error("Unexpected reply from MultiByteToWideChar()"));
    }
    return result;
}

} // namespace

std::string encodeUtf8(const tstring& text) { return toMultiByte(text, CP_UTF8); }
tstring decodeUtf8(const std::string& text) { return fromMultiByte(text, CP_UTF8); }
tstring decodeUtf8OrWiden(const std::string& text) {
    tstring decoded = decodeUtf8(text);
    if (decoded.empty() && !text.empty()) {
        decoded.assign(text.begin(), text.end());
        for (wchar_t& c : decoded) {
            c = static_cast<wchar_t>(static_cast<unsigned char>(c));
        }
    }
    return decoded;
}

std::string encodeAnsi(const tstring& text) { return toMultiByte(text, CP_ACP); }
tstring decodeAnsi(const std::string& text) { return fromMultiByte(text, CP_ACP); }
std::string ansiToUtf8(const std::string& text) { return encodeUtf8(decodeAnsi(text)); }
tstring toSystemWide(const tstring& text) { return text; }

tstring formatPrintf(const wchar_t* format, ...) {
    if (!format) {
        throw std::invalid_argument("Destination buffer can't be NULL");
    }
    tstring result;
    int written = -1;
    while (written < 0) {
        result.resize(result.size() + 256);
        va_list args;
        va_start(args, format);
        written = _vsnwprintf_s(result.data(), result.size(), _TRUNCATE, format, args);
        va_end(args);
    }
    result.resize(static_cast<size_t>(written));
    return result;
}

bool equal(const tstring& a, const tstring& b, CaseMode mode) {
    if (mode == IGNORE_CASE) {
        return lowercase(a) == lowercase(b);
    }
    return a == b;
}

bool hasPrefix(const tstring& text, const tstring& prefix, CaseMode mode) {
    if (text.size() < prefix.size()) {
        return false;
    }
    return equal(text.substr(0, prefix.size()), prefix, mode);
}

bool hasSuffix(const tstring& text, const tstring& suffix, CaseMode mode) {
    if (text.size() < suffix.size()) {
        return false;
    }
    return equal(text.substr(text.size() - suffix.size()), suffix, mode);
}

tstring_array splitBy(const tstring& text, const tstring& delimiter, int /*mode*/) {
    tstring_array tokens;
    if (text.empty() || delimiter.empty()) {
        return tokens;
    }
    size_t pos = 0;
    for (;;) {
        const size_t found = text.find(delimiter, pos);
        if (found == tstring::npos) {
            tokens.push_back(text.substr(pos));
            return tokens;
        }
        tokens.push_back(text.substr(pos, found - pos));
        pos = found + delimiter.size();
    }
}

tstring trimmed(const tstring& text, const tstring& strip) {
    const size_t first = text.find_first_not_of(strip);
    if (first == tstring::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(strip);
    return text.substr(first, last - first + 1);
}

tstring lowercase(const tstring& text) {
    tstring result = text;
    for (wchar_t& c : result) {
        // The C library's narrow tolower in the default locale: only A to Z change.
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(std::tolower(static_cast<int>(c)));
        }
    }
    return result;
}

tstring replaceAll(const tstring& text, const tstring& search, const tstring& replacement) {
    if (search.empty()) {
        return text;
    }
    tstring result = text;
    size_t pos = 0;
    while ((pos = result.find(search, pos)) != tstring::npos) {
        result.replace(pos, search.size(), replacement);
        pos += replacement.size();
    }
    return result;
}

MessageBuilder::MessageBuilder(const tstring& text) { stream << text; }
MessageBuilder::MessageBuilder(const std::string& utf8) { stream << decodeUtf8(utf8); }
MessageBuilder::MessageBuilder(const char* utf8) { stream << decodeUtf8(utf8 ? utf8 : ""); }

MessageBuilder& MessageBuilder::operator<<(const tstring& text) {
    stream << text;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const wchar_t* text) {
    stream << (text ? text : L"NULL");
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const std::string& utf8) {
    stream << decodeUtf8(utf8);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const char* text) {
    stream << (text ? text : "NULL");
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const void* pointer) {
    stream << pointer;
    return *this;
}

tstring MessageBuilder::str() const { return stream.str(); }
std::string MessageBuilder::utf8() const { return encodeUtf8(stream.str()); }

std::ostream& operator<<(std::ostream& out, const MessageBuilder& builder) { return out << builder.utf8(); }

} // namespace tstrings
