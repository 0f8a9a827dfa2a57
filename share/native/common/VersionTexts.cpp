#include "VersionTexts.h"

#include <cstdint>
#include <optional>

namespace {

// One node of a version block: a header (its length, the length of its value, whether the value
// is text), a zero-terminated UTF-16 key, the value and the children, each aligned to 4 bytes from
// the start of the block. The length covers the node and its children.
struct Node {
    std::u16string key;
    std::size_t valueStart = 0;
    std::size_t valueBytes = 0;
    std::size_t childrenStart = 0;
    std::size_t end = 0;
};

std::size_t alignUp(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

char16_t readU16(const std::uint8_t* data, std::size_t at) {
    return static_cast<char16_t>(data[at] | (data[at + 1] << 8));
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
        const char16_t c = readU16(data, p);
        if (c == 0) {
            break;
        }
        node.key += c;
    }
    node.valueStart = alignUp(p + 2);
    node.valueBytes = text ? 2 * valueLength : valueLength;
    if (node.valueStart + node.valueBytes > node.end) {
        // A node without a value may end before the padding after its key.
        if (node.valueBytes != 0) {
            return std::nullopt;
        }
        node.valueStart = node.end;
    }
    node.childrenStart = alignUp(node.valueStart + node.valueBytes);
    return node;
}

// The children of a node, in order, up to the first malformed one.
std::vector<Node> childrenOf(const std::uint8_t* data, const Node& parent) {
    std::vector<Node> children;
    for (std::size_t at = parent.childrenStart; at < parent.end;) {
        const std::optional<Node> child = readNode(data, at, parent.end);
        if (!child) {
            break;
        }
        children.push_back(*child);
        at = alignUp(child->end);
    }
    return children;
}

} // namespace

std::vector<std::pair<std::u16string, std::u16string>> readVersionTexts(const void* block, std::size_t size) {
    const auto* data = static_cast<const std::uint8_t*>(block);
    std::vector<std::pair<std::u16string, std::u16string>> texts;
    const std::optional<Node> root = readNode(data, 0, size);
    if (!root || root->key != u"VS_VERSION_INFO") {
        return texts;
    }
    for (const Node& info : childrenOf(data, *root)) {
        if (info.key != u"StringFileInfo") {
            continue;
        }
        for (const Node& table : childrenOf(data, info)) {
            for (const Node& entry : childrenOf(data, table)) {
                std::u16string value;
                for (std::size_t at = entry.valueStart; at + 2 <= entry.valueStart + entry.valueBytes; at += 2) {
                    const char16_t c = readU16(data, at);
                    if (c == 0) {
                        break;
                    }
                    value += c;
                }
                texts.emplace_back(entry.key, value);
            }
            return texts;
        }
    }
    return texts;
}
