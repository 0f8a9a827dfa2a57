#include "Utf.h"

#include <cstdint>
#include <cstdio>

namespace pack {

namespace {

constexpr char16_t replacement = u'\uFFFD';

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::optional<char32_t> nextCodePoint(std::string_view text, size_t& at) {
    const auto lead = static_cast<uint8_t>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
    int length = 0;
    uint32_t code = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return std::nullopt;
    }
    for (int k = 1; k < length; ++k, ++at) {
        const auto next = at < text.size() ? static_cast<uint8_t>(text[at]) : 0;
        if (at >= text.size() || next < low || next > high) {
            return std::nullopt;
        }
        code = code << 6 | (next & 0x3Fu);
        low = 0x80, high = 0xBF;
    }
    return static_cast<char32_t>(code);
}

std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const std::optional<char32_t> code = nextCodePoint(text, i);
        if (!code) {
            out += replacement;
        } else if (*code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((*code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((*code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(*code);
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((uint32_t{c} - 0xD800) << 10) + (uint32_t{text[i + 1]} - 0xDC00));
            ++i;
        } else {
            appendUtf8(out, c >= 0xD800 && c <= 0xDFFF ? replacement : c);
        }
    }
    return out;
}

bool isHiddenCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x61C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F);
}

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        const std::optional<char32_t> code = nextCodePoint(text, at);
        char escaped[16];
        if (!code) {
            for (size_t i = start; i < at; ++i) {
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(static_cast<uint8_t>(text[i])));
                shown += escaped;
            }
        } else if (!isHiddenCharacter(*code)) {
            shown.append(text.substr(start, at - start));
        } else if (*code == u'\t') {
            shown += "\\t";
        } else {
            const char* form = *code < 0x80 ? "\\x%02x" : *code < 0x10000 ? "\\u%04x" : "\\U%08x";
            std::snprintf(escaped, sizeof escaped, form, static_cast<unsigned>(*code));
            shown += escaped;
        }
    }
    return shown;
}

} // namespace pack
