// The resources of an image as a tree: type, name, language, data.
#pragma once

#include <compare>
#include <map>

#include "PackIo.h"
#include "WinHeaders.h"
#include "tstrings.h"

namespace pack {

// Numbers of the standard resource types the packer writes or reads.
namespace ResourceTypes {
inline constexpr WORD icon = 3;
inline constexpr WORD rcData = 10;
inline constexpr WORD groupIcon = 14;
inline constexpr WORD version = 16;
inline constexpr WORD manifest = 24;
} // namespace ResourceTypes

// Names of the RCDATA resources of a launcher.
namespace ResourceNames {
inline constexpr const wchar_t* package = L"MSI";
inline constexpr const wchar_t* productCode = L"PRODUCT_CODE";
// Present in every launcher stub, so the tool can tell a stub from any other program.
inline constexpr const wchar_t* launcherMarker = L"TERVO_LAUNCHER";
} // namespace ResourceNames

// A resource type or name: a number, or a text kept in upper case, because the loader
// upper-cases the name it looks for and compares it with the stored one as is.
class ResourceId {
public:
    ResourceId(WORD number) : value(number) {}
    // Throws for an empty name or one longer than 65535 characters.
    ResourceId(const tstring& name);
    ResourceId(const wchar_t* name) : ResourceId(tstring(name)) {}

    bool isNumber() const { return text.empty(); }
    WORD number() const { return value; }
    const tstring& name() const { return text; }
    // "MSI", or "#10" for a number.
    tstring describe() const;

    // The order of the directory entries: names first, by UTF-16 code units, then numbers ascending.
    friend std::strong_ordering operator<=>(const ResourceId& a, const ResourceId& b);
    friend bool operator==(const ResourceId& a, const ResourceId& b) { return a.text == b.text && a.value == b.value; }

private:
    WORD value = 0;
    tstring text;
};

class ResourceTree {
public:
    using Languages = std::map<WORD, DataBlock>;
    using Names = std::map<ResourceId, Languages>;
    using Types = std::map<ResourceId, Names>;

    // Sets the data of one language of a resource, keeping its other languages.
    void put(const ResourceId& type, const ResourceId& name, WORD language, DataBlock data);
    // Sets the resource to this one language and data, dropping every language it had.
    void replace(const ResourceId& type, const ResourceId& name, WORD language, DataBlock data);
    // Removes a resource in every language; false when there was none.
    bool remove(const ResourceId& type, const ResourceId& name);
    void removeType(const ResourceId& type);
    // Each resource of `other` replaces the resource of the same type and name here, with all
    // its languages; resources that `other` does not name stay.
    void replaceFrom(const ResourceTree& other);

    // The data of the resource in `language`, or in its first language; null when missing.
    const DataBlock* find(const ResourceId& type, const ResourceId& name) const;
    const DataBlock* find(const ResourceId& type, const ResourceId& name, WORD language) const;
    bool contains(const ResourceId& type, const ResourceId& name) const { return find(type, name) != nullptr; }

    const Types& types() const { return tree; }
    // The number of data items (resource and language pairs).
    size_t count() const;

private:
    Types tree;
};

} // namespace pack
