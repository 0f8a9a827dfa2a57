#include "tstrings.h"

#include <cctype>
#include <cerrno>
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
    for (;;) {
        result.resize(result.size() + 256);
        va_list args;
        va_start(args, format);
        // Truncation answers -1 and leaves errno alone; a bad format or a text that cannot be
        // converted sets it, and a larger buffer would never help.
        errno = 0;
        const int written = _vsnwprintf_s(result.data(), result.size(), _TRUNCATE, format, args);
        const int error = errno;
        va_end(args);
        if (written >= 0) {
            result.resize(static_cast<size_t>(written));
            return result;
        }
        if (written != -1 || error != 0) {
            const std::string reason = lastCrtErrorText();
            throw TervoError<std::runtime_error>(std::runtime_error(joinMessages(
                (MessageBuilder() << "_vsnwprintf_s(" << format << ") failed").utf8(), reason)));
        }
    }
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

namespace {

// The same characters as the packer hides: controls, and what reorders, joins or hides text.
bool isHiddenCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x61C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F);
}

} // namespace

tstring printable(const tstring& text) {
    tstring shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        char32_t c = text[at];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
        if (pair) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[at + 1] - 0xDC00);
        }
        if (!isHiddenCharacter(c)) {
            shown += text[at];
            if (pair) {
                shown += text[++at];
            }
            continue;
        }
        at += pair ? 1 : 0;
        shown += c == L'\t' ? tstring(L"\\t")
                             : formatPrintf(c < 0x80 ? L"\\x%02x" : c < 0x10000 ? L"\\u%04x" : L"\\U%08x",
                                            static_cast<unsigned>(c));
    }
    return shown;
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

MessageBuilder::MessageBuilder(const tstring& text) : text(text) {}
MessageBuilder::MessageBuilder(const std::string& utf8) : text(decodeUtf8(utf8)) {}
MessageBuilder::MessageBuilder(const char* utf8) : text(decodeUtf8(utf8 ? utf8 : "")) {}

MessageBuilder& MessageBuilder::operator<<(const tstring& value) {
    text += value;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const wchar_t* value) {
    text += value ? value : L"NULL";
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(wchar_t c) {
    text += c;
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const std::string& utf8) {
    text += decodeUtf8(utf8);
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const char* value) {
    for (const char* p = value ? value : "NULL"; *p; ++p) {
        *this << *p;
    }
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(char c) {
    text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(const void* pointer) {
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    auto value = reinterpret_cast<std::uintptr_t>(pointer);
    wchar_t buffer[sizeof value * 2];
    for (size_t i = std::size(buffer); i > 0; --i, value >>= 4) {
        buffer[i - 1] = digits[value & 0xF];
    }
    text.append(buffer, std::size(buffer));
    return *this;
}

MessageBuilder& MessageBuilder::operator<<(bool value) {
    text += value ? L'1' : L'0';
    return *this;
}

void MessageBuilder::appendSigned(std::int64_t value) {
    if (value < 0) {
        text += L'-';
        appendUnsigned(0 - static_cast<std::uint64_t>(value));
    } else {
        appendUnsigned(static_cast<std::uint64_t>(value));
    }
}

void MessageBuilder::appendUnsigned(std::uint64_t value) {
    wchar_t buffer[20];
    size_t start = std::size(buffer);
    do {
        buffer[--start] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    text.append(buffer + start, std::size(buffer) - start);
}

std::string MessageBuilder::utf8() const { return encodeUtf8(text); }

} // namespace tstrings
