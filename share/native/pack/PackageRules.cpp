#include "PackageRules.h"

#include <cstdint>

#include "FileNameRules.h"
#include "Utf.h"

namespace pack {

namespace {

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

constexpr int32_t compressedByDefault = 0x2;
constexpr int32_t administrativeImage = 0x4;
constexpr int32_t fileNoncompressed = 0x2000;
constexpr int32_t fileCompressed = 0x4000;

} // namespace

std::optional<std::string> canonicalGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    } else if (text.size() != 36 && text.size() != 32) {
        return std::nullopt;
    }
    const bool hyphens = text.size() == 36;
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hyphenPlace = hyphens && (i == 8 || i == 13 || i == 18 || i == 23);
        if (hyphenPlace ? text[i] != '-' : !isHex(text[i])) {
            return std::nullopt;
        }
        if (!hyphenPlace) {
            digits += static_cast<char>(text[i] >= 'a' ? text[i] - ('a' - 'A') : text[i]);
        }
    }
    return "{" + digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20) + "}";
}

std::string windowsFileNameProblem(const std::string& name) {
    const std::u16string units = toUtf16(name);
    if (toUtf8(units) != name) {
        return "it is not valid UTF-8";
    }
    return fileNameProblem(units);
}

std::vector<ExternalPart> findExternalParts(const PackageFacts& facts) {
    std::vector<ExternalPart> parts;
    for (const std::string& cabinet : facts.cabinets) {
        if (!cabinet.empty() && cabinet.front() != '#') {
            parts.push_back({ExternalPart::Kind::Cabinet, cabinet});
        }
    }
    const bool adminImage = (facts.wordCount & administrativeImage) != 0;
    for (const PackageFile& file : facts.files) {
        const bool compressed = (file.attributes & fileCompressed) != 0   ? true
                                : (file.attributes & fileNoncompressed) != 0 ? false
                                                                             : (facts.wordCount & compressedByDefault) != 0;
        if (adminImage || !compressed) {
            const size_t bar = file.name.find('|');
            parts.push_back({ExternalPart::Kind::File, bar == std::string::npos ? file.name : file.name.substr(bar + 1)});
        }
    }
    return parts;
}

} // namespace pack
