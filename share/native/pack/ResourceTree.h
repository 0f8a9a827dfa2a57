// The resources of an image as a tree: type, name, language, data.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <string>

#include "PackIo.h"

namespace pack {

// Numbers of the standard resource types the packer writes or reads.
namespace ResourceTypes {
inline constexpr uint16_t icon = 3;
inline constexpr uint16_t rcData = 10;
inline constexpr uint16_t groupIcon = 14;
inline constexpr uint16_t version = 16;
inline constexpr uint16_t manifest = 24;
} // namespace ResourceTypes

// Names of the RCDATA resources of a launcher.
namespace ResourceNames {
inline constexpr const char16_t* package = u"MSI";
inline constexpr const char16_t* productCode = u"PRODUCT_CODE";
inline constexpr const char16_t* checksum = u"MSI_CHECKSUM";
// The input package's own file name (leaf only), UTF-8 without a terminator; written only when
// Windows takes it as a plain file name (see windowsFileNameProblem).
inline constexpr const char16_t* packageFileName = u"MSI_FILENAME";
// The package's UpgradeCode, braced and upper case, 38 bytes; absent when it has none.
inline constexpr const char16_t* upgradeCode = u"UPGRADE_CODE";
// Present only when the launcher's default install log is turned off; it then holds "off".
inline constexpr const char16_t* defaultLog = u"DEFAULT_LOG";
// Present only when the launcher is to keep no copy of its package for repairs; it then holds "off".
inline constexpr const char16_t* packageCache = u"PACKAGE_CACHE";
// Present in every launcher stub, so the tool can tell a stub from any other program.
inline constexpr const char16_t* launcherMarker = u"TERVO_LAUNCHER";
} // namespace ResourceNames

// The language-neutral resource language.
inline constexpr uint16_t neutralLanguage = 0;

// A resource type or name: a number, or a text kept in upper case, because the loader
// upper-cases the name it looks for and compares it with the stored one as is. Upper case here
// is the simple mapping of Latin, Greek, Cyrillic and fullwidth Latin letters, the same on every
// system; other characters stay.
class ResourceId {
public:
    ResourceId(uint16_t number) : value(number) {}
    // Throws for an empty name or one longer than 65535 UTF-16 code units.
    ResourceId(const std::u16string& name);
    ResourceId(const char16_t* name) : ResourceId(std::u16string(name)) {}

    bool isNumber() const { return text.empty(); }
    uint16_t number() const { return value; }
    const std::u16string& name() const { return text; }
    // "MSI", or "#10" for a number, in UTF-8.
    std::string describe() const;

    // The order of the directory entries: names first, by UTF-16 code units, then numbers ascending.
    friend std::strong_ordering operator<=>(const ResourceId& a, const ResourceId& b);
    friend bool operator==(const ResourceId& a, const ResourceId& b) { return a.text == b.text && a.value == b.value; }

private:
    uint16_t value = 0;
    std::u16string text;
};

class ResourceTree {
public:
    using Languages = std::map<uint16_t, DataBlock>;
    using Names = std::map<ResourceId, Languages>;
    using Types = std::map<ResourceId, Names>;

    // Sets the data of one language of a resource, keeping its other languages.
    void put(const ResourceId& type, const ResourceId& name, uint16_t language, DataBlock data);
    // Sets the resource to this one language and data, dropping every language it had.
    void replace(const ResourceId& type, const ResourceId& name, uint16_t language, DataBlock data);
    // Removes a resource in every language; false when there was none.
    bool remove(const ResourceId& type, const ResourceId& name);
    void removeType(const ResourceId& type);
    // Each resource of `other` replaces the resource of the same type and name here, with all
    // its languages; resources that `other` does not name stay.
    void replaceFrom(const ResourceTree& other);

    // The data of the resource in its first language; null when missing.
    const DataBlock* find(const ResourceId& type, const ResourceId& name) const;
    const DataBlock* find(const ResourceId& type, const ResourceId& name, uint16_t language) const;
    bool contains(const ResourceId& type, const ResourceId& name) const { return find(type, name) != nullptr; }

    const Types& types() const { return tree; }
    // The number of data items (resource and language pairs).
    size_t count() const;

private:
    Types tree;
};

} // namespace pack
