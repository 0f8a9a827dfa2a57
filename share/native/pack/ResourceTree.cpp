#include "ResourceTree.h"

#include <stdexcept>

#include "ErrorHandling.h"
#include "WinErrorHandling.h"

namespace pack {

ResourceId::ResourceId(const tstring& name) {
    if (name.empty() || name.size() > 0xFFFF) {
        throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
            << "Invalid resource name [" << name << "]: it must have 1 to 65535 characters").utf8()));
    }
    text.resize(name.size());
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                                     text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0);
    if (length != static_cast<int>(name.size())) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "LCMapStringEx(" << name << ") failed", LCMapStringEx, error));
    }
}

tstring ResourceId::describe() const {
    return isNumber() ? (tstrings::MessageBuilder() << "#" << value).str() : text;
}

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

void ResourceTree::put(const ResourceId& type, const ResourceId& name, WORD language, DataBlock data) {
    tree[type][name][language] = std::move(data);
}

void ResourceTree::replace(const ResourceId& type, const ResourceId& name, WORD language, DataBlock data) {
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

const DataBlock* ResourceTree::find(const ResourceId& type, const ResourceId& name, WORD language) const {
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
