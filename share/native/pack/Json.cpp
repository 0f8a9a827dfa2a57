#include "Json.h"

#include <cstdio>

#include "Utf.h"

namespace pack {

namespace {

void appendEscape(std::string& out, unsigned unit) {
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
    out += escaped;
}

} // namespace

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (size_t at = 0; at < utf8.size();) {
        const size_t start = at;
        const char32_t c = nextCodePoint(utf8, at).value_or(U'\uFFFD');
        switch (c) {
        case U'"':
            out += "\\\"";
            break;
        case U'\\':
            out += "\\\\";
            break;
        case U'\b':
            out += "\\b";
            break;
        case U'\f':
            out += "\\f";
            break;
        case U'\n':
            out += "\\n";
            break;
        case U'\r':
            out += "\\r";
            break;
        case U'\t':
            out += "\\t";
            break;
        default:
            if (c == U'\uFFFD') {
                out += "\xEF\xBF\xBD";
            } else if (!isHiddenCharacter(c)) {
                out.append(utf8.substr(start, at - start));
            } else if (c < 0x10000) {
                appendEscape(out, static_cast<unsigned>(c));
            } else {
                appendEscape(out, 0xD800 + ((static_cast<unsigned>(c) - 0x10000) >> 10));
                appendEscape(out, 0xDC00 + ((static_cast<unsigned>(c) - 0x10000) & 0x3FF));
            }
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::addText(const std::string& key, const std::optional<std::string>& value) {
    members.emplace_back(key, value ? jsonString(*value) : "null");
    return *this;
}

JsonObject& JsonObject::addNumber(const std::string& key, std::optional<uint64_t> value) {
    members.emplace_back(key, value ? std::to_string(*value) : "null");
    return *this;
}

JsonObject& JsonObject::addBool(const std::string& key, bool value) {
    members.emplace_back(key, value ? "true" : "false");
    return *this;
}

JsonObject& JsonObject::addObject(const std::string& key, const JsonObject& value) {
    members.emplace_back(key, value.inlineText());
    return *this;
}

std::string JsonObject::text() const {
    std::string out = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + jsonString(members[i].first) + ": " + members[i].second;
    }
    return out + (members.empty() ? "}" : "\n}");
}

std::string JsonObject::inlineText() const {
    std::string out = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        out += (i == 0 ? "" : ", ") + jsonString(members[i].first) + ": " + members[i].second;
    }
    return out + "}";
}

} // namespace pack
