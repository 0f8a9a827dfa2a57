// The version resource (VS_VERSIONINFO) that describes the packed product.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ResourceTree.h"

namespace pack {

// A four-part binary version, as in VS_FIXEDFILEINFO.
struct FixedVersion {
    std::array<uint16_t, 4> parts{};
    uint32_t mostSignificant() const { return uint32_t{parts[0]} << 16 | parts[1]; }
    uint32_t leastSignificant() const { return uint32_t{parts[2]} << 16 | parts[3]; }
};

// The form of a version the block holds, in words.
inline constexpr const char* versionForm = "one to four numbers from 0 to 65535 separated by dots, such as 1.2.3";

// Parses one to four decimal numbers from 0 to 65535 separated by dots ("1.2.3", "10.0.1.45");
// missing parts are 0. Throws a pack::Error naming the text for anything else.
FixedVersion parseVersion(const std::string& text);
// The same; nullopt for anything else.
std::optional<FixedVersion> tryParseVersion(const std::string& text);

// The texts of the block, in UTF-8. The fixed file and product versions are parsed from the two
// version texts.
struct VersionStrings {
    std::string productName;
    std::string productVersion;
    std::string companyName;
    std::string fileDescription;
    std::string fileVersion;
    std::string originalFilename;
};

// The most UTF-16 characters one text of the block may have: six such texts still fit the
// format's limit of 65535 bytes for the whole block.
inline constexpr size_t maxVersionTextLength = 4096;

// VS_VERSIONINFO with VS_FIXEDFILEINFO for an application, the strings in the table "040904B0"
// and the translation U.S. English, Unicode. Throws when a version text is malformed or a text is
// longer than maxVersionTextLength, naming it.
std::vector<char> buildVersionBlock(const VersionStrings& strings);

// Sets RT_VERSION 1 of the tree to the block, in U.S. English, replacing any version resource 1.
void setVersionResource(ResourceTree& tree, const VersionStrings& strings);

// The texts of the first string table of a version block, by name, in UTF-8 ("ProductName" to
// its value); empty, or cut short, for a block that is malformed where it is.
std::map<std::string, std::string> readVersionStrings(const std::vector<char>& block);

} // namespace pack
