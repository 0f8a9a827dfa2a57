// The version resource (VS_VERSIONINFO) that describes the packed product.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "ResourceTree.h"
#include "WinHeaders.h"
#include "tstrings.h"

namespace pack {

// A four-part binary version, as in VS_FIXEDFILEINFO.
struct FixedVersion {
    std::array<WORD, 4> parts{};
    uint32_t mostSignificant() const { return uint32_t{parts[0]} << 16 | parts[1]; }
    uint32_t leastSignificant() const { return uint32_t{parts[2]} << 16 | parts[3]; }
};

// Parses one to four decimal numbers from 0 to 65535 separated by dots ("1.2.3", "10.0.1.45");
// missing parts are 0. Throws a TervoError naming the text for anything else.
FixedVersion parseVersion(const tstring& text);

// The texts of the block. The fixed file and product versions are parsed from the two version texts.
struct VersionStrings {
    tstring productName;
    tstring productVersion;
    tstring companyName;
    tstring fileDescription;
    tstring fileVersion;
    tstring originalFilename;
};

// VS_VERSIONINFO with VS_FIXEDFILEINFO for an application, the strings in the table "040904B0"
// and the translation U.S. English, Unicode. Throws when a version text is malformed.
std::vector<char> buildVersionBlock(const VersionStrings& strings);

// Sets RT_VERSION 1 of the tree to the block, in U.S. English, replacing any version resource 1.
void setVersionResource(ResourceTree& tree, const VersionStrings& strings);

} // namespace pack
