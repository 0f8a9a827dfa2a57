#include "ResourceTree.h"

#include "PackError.h"
#include "Utf.h"

namespace pack {

namespace {

// Simple upper-case mapping of the letters that pair by a fixed offset or alternate in blocks.
char16_t toUpper(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c == 0x3C2) {
        return 0x3A3;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    // Latin Extended-A and Cyrillic pairs: upper case even, lower case odd, except the runs
    // that start on an odd code point.
    const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool evenPairs = (c >= 0x100 && c <= 0x137 && c != 0x131) || (c >= 0x14A && c <= 0x177) ||
                           (c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF);
    if ((evenPairs && (c & 1) == 1) || (oddPairs && (c & 1) == 0)) {
        return static_cast<char16_t>(c - 1);
    }
    return c;
}

} // namespace

ResourceId::ResourceId(const std::u16string& name) {
    if (name.empty() || name.size() > 0xFFFF) {
        throw Error("Invalid resource name [" + toUtf8(name.substr(0, 64)) + "]: it must have 1 to 65535 characters");
    }
    text.reserve(name.size());
    for (const char16_t c : name) {
        text += toUpper(c);
    }
}

std::string ResourceId::describe() const { return isNumber() ? "#" + std::to_string(value) : toUtf8(text); }

std::strong_ordering operator<=>(const ResourceId& a, const ResourceId& b) {
    if (a.isNumber() != b.isNumber()) {
        return a.isNumber() ? std::strong_ordering::greater : std::strong_ordering::less;
    }
    if (a.isNumber()) {
        return a.value <=> b.value;
    }
    const int order = a.text.compare(b.text);
    return order < 0 ? std::strong_ordering::less : order > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

void ResourceTree::put(const ResourceId& type, const ResourceId& name, uint16_t language, DataBlock data) {
    tree[type][name][language] = std::move(data);
}

void ResourceTree::replace(const ResourceId& type, const ResourceId& name, uint16_t language, DataBlock data) {
    Languages& languages = tree[type][name];
    languages.clear();
    languages.emplace(language, std::move(data));
}

bool ResourceTree::remove(const ResourceId& type, const ResourceId& name) {
    const auto names = tree.find(type);
    if (names == tree.end() || names->second.erase(name) == 0) {
        return false;
    }
    if (names->second.empty()) {
        tree.erase(names);
    }
    return true;
}

void ResourceTree::removeType(const ResourceId& type) { tree.erase(type); }

void ResourceTree::replaceFrom(const ResourceTree& other) {
    for (const auto& [type, names] : other.tree) {
        for (const auto& [name, languages] : names) {
            tree[type][name] = languages;
        }
    }
}

const DataBlock* ResourceTree::find(const ResourceId& type, const ResourceId& name) const {
    const auto names = tree.find(type);
    if (names == tree.end()) {
        return nullptr;
    }
    const auto languages = names->second.find(name);
    if (languages == names->second.end() || languages->second.empty()) {
        return nullptr;
    }
    return &languages->second.begin()->second;
}

const DataBlock* ResourceTree::find(const ResourceId& type, const ResourceId& name, uint16_t language) const {
    const auto names = tree.find(type);
    if (names == tree.end()) {
        return nullptr;
    }
    const auto languages = names->second.find(name);
    if (languages == names->second.end()) {
        return nullptr;
    }
    const auto data = languages->second.find(language);
    return data == languages->second.end() ? nullptr : &data->second;
}

size_t ResourceTree::count() const {
    size_t total = 0;
    for (const auto& [type, names] : tree) {
        for (const auto& [name, languages] : names) {
            total += languages.size();
        }
    }
    return total;
}

} // namespace pack
