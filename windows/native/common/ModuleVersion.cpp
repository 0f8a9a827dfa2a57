#include "ModuleVersion.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "ErrorHandling.h"
#include "Resources.h"

namespace ModuleVersion {

namespace {

// One node of a version block: a header (its length, the length of its value, whether the value
// is text), a zero-terminated UTF-16 key, the value and the children, each aligned to 4 bytes
// from the start of the block. Every offset is checked against the node's own length.
struct Node {
    tstring key;
    std::size_t valueStart = 0;
    std::size_t valueBytes = 0;
    std::size_t childrenStart = 0;
    std::size_t end = 0;
};

std::size_t alignUp(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

std::uint16_t readU16(const std::uint8_t* data, std::size_t at) {
    return static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8));
}

// The node at `at`, which must end by `limit`.
std::optional<Node> readNode(const std::uint8_t* data, std::size_t at, std::size_t limit) {
    if (at + 6 > limit) {
        return std::nullopt;
    }
    const std::size_t length = readU16(data, at);
    const std::size_t valueLength = readU16(data, at + 2);
    const bool text = readU16(data, at + 4) == 1;
    if (length < 6 || at + length > limit) {
        return std::nullopt;
    }
    Node node;
    node.end = at + length;
    std::size_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > node.end) {
            return std::nullopt;
        }
        const wchar_t c = static_cast<wchar_t>(readU16(data, p));
        if (c == 0) {
            break;
        }
        node.key += c;
    }
    node.valueStart = std::min(alignUp(p + 2), node.end);
    node.valueBytes = std::min(text ? valueLength * 2 : valueLength, node.end - node.valueStart);
    node.childrenStart = std::min(alignUp(node.valueStart + node.valueBytes), node.end);
    return node;
}

// The child of `parent` with the given key, or its first child when `key` is null.
std::optional<Node> findChild(const std::uint8_t* data, const Node& parent, const wchar_t* key) {
    for (std::size_t at = parent.childrenStart; at < parent.end;) {
        const std::optional<Node> child = readNode(data, at, parent.end);
        if (!child) {
            return std::nullopt;
        }
        if (!key || child->key == key) {
            return child;
        }
        at = alignUp(child->end);
    }
    return std::nullopt;
}

} // namespace

tstring versionString(const void* block, std::size_t size, const tstring& name) {
    const auto* data = static_cast<const std::uint8_t*>(block);
    const std::optional<Node> root = readNode(data, 0, size);
    if (!root || root->key != L"VS_VERSION_INFO") {
        return {};
    }
    const std::optional<Node> info = findChild(data, *root, L"StringFileInfo");
    const std::optional<Node> table = info ? findChild(data, *info, nullptr) : std::nullopt;
    const std::optional<Node> entry = table ? findChild(data, *table, name.c_str()) : std::nullopt;
    if (!entry) {
        return {};
    }
    tstring value;
    for (std::size_t p = entry->valueStart; p + 2 <= entry->valueStart + entry->valueBytes; p += 2) {
        const wchar_t c = static_cast<wchar_t>(readU16(data, p));
        if (c == 0) {
            break;
        }
        value += c;
    }
    return value;
}

tstring versionString(HMODULE module, const tstring& name) noexcept {
    tstring value;
    runReporting([&] {
        const Resource resource(MAKEINTRESOURCEW(1), RT_VERSION, module);
        if (resource.available()) {
            DWORD size = 0;
            const void* data = resource.getPtr(size);
            value = versionString(data, size, name);
        }
    });
    return value;
}

} // namespace ModuleVersion
