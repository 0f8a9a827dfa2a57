// JSON output for tools that read what the packer says: one object, its keys in a fixed order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pack {

// The text as a JSON string, quotes included: '"' and '\' escaped, control characters as \n,
// \t, ... or \u00XX, and the other characters a terminal does not show as themselves (C1
// controls, formatting characters such as U+202E; see isHiddenCharacter) as \uXXXX escapes, so
// that the value stays exact and the text safe to show. Everything else is UTF-8; malformed UTF-8
// becomes U+FFFD, so the result is always valid JSON in valid UTF-8.
std::string jsonString(std::string_view utf8);

// An object whose members keep the order they were added in; an absent value is null.
class JsonObject {
public:
    JsonObject& addText(const std::string& key, const std::optional<std::string>& value);
    JsonObject& addNumber(const std::string& key, std::optional<uint64_t> value);
    JsonObject& addBool(const std::string& key, bool value);
    // A nested object, written on one line.
    JsonObject& addObject(const std::string& key, const JsonObject& value);

    // The object, one member per line, indented by two spaces; no newline after the last brace.
    std::string text() const;
    // The object on one line: {"a": 1, "b": null}.
    std::string inlineText() const;

private:
    std::vector<std::pair<std::string, std::string>> members;
};

} // namespace pack
