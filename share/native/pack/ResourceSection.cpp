#include "ResourceSection.h"

#include <limits>
#include <map>
#include <type_traits>

#include "PackError.h"

namespace pack {

namespace {

constexpr uint32_t directorySize = 16;
constexpr uint32_t entrySize = 8;
constexpr uint32_t dataEntrySize = 16;
constexpr uint32_t subdirectoryFlag = 0x80000000;
constexpr uint32_t nameFlag = 0x80000000;

uint32_t checkedOffset(uint64_t offset) {
    if (offset > std::numeric_limits<uint32_t>::max()) {
        throw Error("Resources of " + std::to_string(offset) + " bytes or more do not fit in an image");
    }
    return static_cast<uint32_t>(offset);
}

// Where each name string goes, one copy per distinct text.
class NameTable {
public:
    void add(const ResourceId& id) {
        if (!id.isNumber()) {
            offsets.emplace(id.name(), 0);
        }
    }
    // Places the strings from `start`; returns where they end.
    uint64_t place(uint64_t start) {
        for (auto& [name, offset] : offsets) {
            offset = start;
            start += 2 + 2 * uint64_t{name.size()};
        }
        return start;
    }
    uint32_t entryName(const ResourceId& id) const {
        return id.isNumber() ? id.number() : nameFlag | static_cast<uint32_t>(offsets.at(id.name()));
    }
    void write(std::vector<char>& out) const {
        for (const auto& [name, offset] : offsets) {
            appendU16(out, static_cast<uint16_t>(name.size()));
            appendUtf16(out, name);
        }
    }

private:
    std::map<std::u16string, uint64_t> offsets;
};

template <class Map>
void appendDirectory(std::vector<char>& out, const Map& entries) {
    uint16_t named = 0;
    for (const auto& entry : entries) {
        if constexpr (std::is_same_v<typename Map::key_type, ResourceId>) {
            named += entry.first.isNumber() ? 0 : 1;
        }
    }
    appendU32(out, 0); // characteristics
    appendU32(out, 0); // time stamp, left out so equal input gives equal output
    appendU16(out, 0);
    appendU16(out, 0);
    appendU16(out, named);
    appendU16(out, static_cast<uint16_t>(entries.size() - named));
}

} // namespace

ResourceSection::ResourceSection(const ResourceTree& tree, uint32_t rva, const std::optional<ResourceKey>& last) {
    const ResourceTree::Types& types = tree.types();
    NameTable names;
    uint64_t tables = directorySize + entrySize * uint64_t{types.size()};
    uint64_t nameTables = 0;
    uint64_t dataCount = 0;
    for (const auto& [type, typeNames] : types) {
        names.add(type);
        tables += directorySize + entrySize * uint64_t{typeNames.size()};
        for (const auto& [name, languages] : typeNames) {
            names.add(name);
            nameTables += directorySize + entrySize * uint64_t{languages.size()};
            dataCount += languages.size();
        }
    }
    const uint64_t nameTablesStart = tables;
    const uint64_t dataEntriesStart = nameTablesStart + nameTables;
    const uint64_t stringsStart = dataEntriesStart + dataEntrySize * dataCount;
    const uint64_t stringsEnd = names.place(stringsStart);

    // Data placement first: the data entries hold the RVAs. Items go in tree order, but those of
    // `last` after all others.
    std::vector<const DataBlock*> items;
    std::vector<bool> isLast;
    for (const auto& [type, typeNames] : types) {
        for (const auto& [name, languages] : typeNames) {
            for (const auto& [language, data] : languages) {
                items.push_back(&data);
                isLast.push_back(last && last->first == type && last->second == name);
            }
        }
    }
    std::vector<uint32_t> dataOffsets(items.size());
    // Indexes of the items, in tree order, in the order they are placed.
    std::vector<size_t> placement;
    uint64_t end = alignUp(stringsEnd, dataAlignment);
    for (const bool lastPass : {false, true}) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (isLast[i] == lastPass) {
                checkedOffset(items[i]->size()); // a data entry holds the size in 32 bits
                dataOffsets[i] = checkedOffset(end);
                placement.push_back(i);
                end = alignUp(end + items[i]->size(), dataAlignment);
            }
        }
    }
    size_t index = 0;
    for (const auto& [type, typeNames] : types) {
        for (const auto& [name, languages] : typeNames) {
            firstDataOffsets.emplace(std::make_pair(type, name), dataOffsets[index]);
            index += languages.size();
        }
    }
    sectionSize = checkedOffset(end);
    checkedOffset(uint64_t{rva} + end);

    std::vector<char> head;
    head.reserve(static_cast<size_t>(stringsEnd));
    appendDirectory(head, types);
    uint64_t nextTable = directorySize + entrySize * uint64_t{types.size()};
    for (const auto& [type, typeNames] : types) {
        appendU32(head, names.entryName(type));
        appendU32(head, subdirectoryFlag | static_cast<uint32_t>(nextTable));
        nextTable += directorySize + entrySize * uint64_t{typeNames.size()};
    }
    uint64_t nextNameTable = nameTablesStart;
    for (const auto& [type, typeNames] : types) {
        appendDirectory(head, typeNames);
        for (const auto& [name, languages] : typeNames) {
            appendU32(head, names.entryName(name));
            appendU32(head, subdirectoryFlag | static_cast<uint32_t>(nextNameTable));
            nextNameTable += directorySize + entrySize * uint64_t{languages.size()};
        }
    }
    uint64_t nextDataEntry = dataEntriesStart;
    for (const auto& [type, typeNames] : types) {
        for (const auto& [name, languages] : typeNames) {
            appendDirectory(head, languages);
            for (const auto& [language, data] : languages) {
                appendU32(head, language);
                appendU32(head, static_cast<uint32_t>(nextDataEntry));
                nextDataEntry += dataEntrySize;
            }
        }
    }
    size_t item = 0;
    for (const auto& [type, typeNames] : types) {
        for (const auto& [name, languages] : typeNames) {
            for (const auto& [language, data] : languages) {
                appendU32(head, rva + dataOffsets[item++]);
                appendU32(head, static_cast<uint32_t>(data.size()));
                appendU32(head, 0); // code page
                appendU32(head, 0);
            }
        }
    }
    names.write(head);
    head.resize(static_cast<size_t>(alignUp(head.size(), dataAlignment)), 0);
    parts.emplace_back(std::move(head));

    for (const size_t i : placement) {
        parts.push_back(*items[i]);
        const uint64_t dataEnd = dataOffsets[i] + items[i]->size();
        const uint64_t padding = alignUp(dataEnd, dataAlignment) - dataEnd;
        if (padding > 0) {
            parts.push_back(DataBlock::zeros(static_cast<size_t>(padding)));
        }
    }
}

std::optional<uint32_t> ResourceSection::dataOffset(const ResourceId& type, const ResourceId& name) const {
    const auto found = firstDataOffsets.find({type, name});
    return found == firstDataOffsets.end() ? std::nullopt : std::optional<uint32_t>(found->second);
}

void ResourceSection::writeTo(ByteSink& sink) const {
    for (const DataBlock& part : parts) {
        part.writeTo(sink);
    }
}

} // namespace pack
