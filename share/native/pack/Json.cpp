#include "Json.h"

#include <cstdio>

#include "Utf.h"

namespace pack {

std::string jsonString(std::string_view utf8) {
    const std::string text = toUtf8(toUtf16(utf8));
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
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

std::string JsonObject::text() const {
    std::string out = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + jsonString(members[i].first) + ": " + members[i].second;
    }
    return out + (members.empty() ? "}" : "\n}");
}

} // namespace pack
