// Text types, conversions between UTF-16 and narrow text, and the message builder.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>
#include <vector>

typedef std::wstring tstring;
typedef std::vector<tstring> tstring_array;

namespace tstrings {

enum CaseMode {
    CASE_SENSITIVE = 0,
    IGNORE_CASE = 1
};

// Conversions. Text the system refuses (malformed UTF-8, say) converts to an empty string.
std::string encodeUtf8(const tstring& text);
tstring decodeUtf8(const std::string& text);
// Decoded as UTF-8; text that is not valid UTF-8 is widened byte by byte instead, so that
// nothing of a message is lost.
tstring decodeUtf8OrWiden(const std::string& text);
std::string encodeAnsi(const tstring& text);
tstring decodeAnsi(const std::string& text);
std::string ansiToUtf8(const std::string& text);
tstring toSystemWide(const tstring& text);

// printf-style formatting with the Microsoft wide rules (%s takes a wide string).
// A null format throws std::invalid_argument; a format the C runtime refuses (an unknown
// conversion, a text it cannot convert) throws TervoError<std::runtime_error>.
tstring formatPrintf(const wchar_t* format, ...);

bool equal(const tstring& a, const tstring& b, CaseMode mode = CASE_SENSITIVE);
bool hasPrefix(const tstring& text, const tstring& prefix, CaseMode mode = CASE_SENSITIVE);
bool hasSuffix(const tstring& text, const tstring& suffix, CaseMode mode = CASE_SENSITIVE);
tstring_array splitBy(const tstring& text, const tstring& delimiter, int mode = 0);
tstring trimmed(const tstring& text, const tstring& strip);
tstring lowercase(const tstring& text);
tstring replaceAll(const tstring& text, const tstring& search, const tstring& replacement);
// The text as a terminal may show it: control characters (C0, DEL, C1) and the invisible
// characters that reorder, join or hide text (bidirectional marks, embeddings, overrides and
// isolates, zero-width characters, the soft hyphen, the byte-order mark, tags) become visible
// escapes: \t, \x1b, \u202e, \U000e0041. The packer shows the same characters the same way.
tstring printable(const tstring& text);

template <class It>
tstring joinWith(It first, It last, const tstring& delimiter) {
    tstring out;
    if (first != last) {
        out += *first;
        for (++first; first != last; ++first) {
            out += delimiter;
            out += *first;
        }
    }
    return out;
}

// Wide message builder that every error and log message is assembled with.
// Narrow std::string values are decoded as UTF-8; narrow character pointers are
// widened byte by byte (they carry the ASCII literals of messages). Numbers are written as
// a standard stream writes them by default. It keeps its text in a plain string rather than
// a string stream: a stream drags the whole locale machinery into every program.
class MessageBuilder {
public:
    MessageBuilder() = default;
    explicit MessageBuilder(const tstring& text);
    explicit MessageBuilder(const std::string& utf8);
    explicit MessageBuilder(const char* utf8);

    MessageBuilder& operator<<(const tstring& text);
    MessageBuilder& operator<<(const wchar_t* text);
    MessageBuilder& operator<<(wchar_t c);
    MessageBuilder& operator<<(const std::string& utf8);
    MessageBuilder& operator<<(const char* text);
    MessageBuilder& operator<<(char c);
    // Fixed-width upper-case hexadecimal.
    MessageBuilder& operator<<(const void* pointer);
    // 1 or 0.
    MessageBuilder& operator<<(bool value);

    template <class T>
        requires std::is_integral_v<T>
    MessageBuilder& operator<<(T value) {
        if constexpr (std::is_signed_v<T>) {
            appendSigned(static_cast<std::int64_t>(value));
        } else {
            appendUnsigned(static_cast<std::uint64_t>(value));
        }
        return *this;
    }

    tstring str() const { return text; }
    std::string utf8() const;

private:
    void appendSigned(std::int64_t value);
    void appendUnsigned(std::uint64_t value);

    tstring text;
};

std::ostream& operator<<(std::ostream& out, const MessageBuilder& builder);

} // namespace tstrings
