// Lays out a resource tree as the resource section of an image and writes it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "PackIo.h"
#include "ResourceTree.h"

namespace pack {

// A resource's type and name.
using ResourceKey = std::pair<ResourceId, ResourceId>;

// The section for a tree, to be loaded at a given RVA: the directory tables (root, then every
// type's, then every name's), the data entries, the names, then each data item 8-byte aligned,
// in the tree's order except that the data of `last` comes after all the others. Entries are
// ordered as the loader's binary search expects. The data stays where it is until written.
class ResourceSection {
public:
    // Throws when the section would not fit in a 32-bit image at that RVA.
    ResourceSection(const ResourceTree& tree, uint32_t rva, const std::optional<ResourceKey>& last = std::nullopt);

    // Bytes of the section, without padding to the file alignment.
    uint32_t size() const { return sectionSize; }
    // What to write, in order; adds up to size().
    const std::vector<DataBlock>& blocks() const { return parts; }
    void writeTo(ByteSink& sink) const;
    // Where the data of the resource's first language starts in the section; null when the
    // tree has no such resource.
    std::optional<uint32_t> dataOffset(const ResourceId& type, const ResourceId& name) const;

    static constexpr uint32_t dataAlignment = 8;

private:
    std::vector<DataBlock> parts;
    std::map<std::pair<ResourceId, ResourceId>, uint32_t> firstDataOffsets;
    uint32_t sectionSize = 0;
};

} // namespace pack
