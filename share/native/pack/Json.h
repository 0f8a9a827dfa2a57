// JSON output for tools that read what the packer says: one object, its keys in a fixed order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pack {

// The text as a JSON string, quotes included: '"' and '\' escaped, control characters (below
// U+0020, and U+007F) as \n, \t, ... or \u00XX, everything else as UTF-8. Malformed UTF-8
// becomes U+FFFD, so the result is always valid JSON in valid UTF-8.
std::string jsonString(std::string_view utf8);

// An object whose members keep the order they were added in; an absent value is null.
class JsonObject {
public:
    JsonObject& addText(const std::string& key, const std::optional<std::string>& value);
    JsonObject& addNumber(const std::string& key, std::optional<uint64_t> value);
    JsonObject& addBool(const std::string& key, bool value);

    // The object, one member per line, indented by two spaces; no newline after the last brace.
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> members;
};

} // namespace pack
