// Installer databases and compound files made byte by byte for the tests of the package reader:
// what packages built with wixl do not have (sectors of 4096 bytes, 3-byte string references,
// codepage 65001 with invalid UTF-8, strings over 64 KB, sub-storages), and damage placed exactly.
// The platform's installer library reads the same files, so a fault shared by this writer and the
// reader shows as a difference from the library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cfb {

constexpr uint32_t endOfChain = 0xFFFFFFFE;
constexpr uint32_t freeSector = 0xFFFFFFFF;
constexpr uint32_t fatMark = 0xFFFFFFFD;
constexpr uint32_t noEntry = 0xFFFFFFFF;

inline void put16(std::string& out, size_t at, uint32_t value) {
    out[at] = static_cast<char>(value & 0xFF);
    out[at + 1] = static_cast<char>(value >> 8 & 0xFF);
}
inline void put32(std::string& out, size_t at, uint32_t value) {
    put16(out, at, value & 0xFFFF);
    put16(out, at + 2, value >> 16);
}
inline void append(std::string& out, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        out += static_cast<char>(value >> (8 * i) & 0xFF);
    }
}
inline uint32_t get32(const std::string& in, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(in[at + static_cast<size_t>(i)]);
    }
    return value;
}

// A stream, or a storage with children of its own.
struct Node {
    std::u16string name;
    std::string bytes;
    bool storage = false;
    std::vector<Node> children;
};

// Compound files order siblings by name length, then by upper-cased code units.
inline bool nameLess(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
}

// A compound file of version 3 (sector shift 9) or 4 (shift 12) whose root holds `children`.
// Each storage's children hang off it as one chain of right siblings in name order, a valid
// (if unbalanced) search tree. Streams below 4096 bytes go to the mini stream.
inline std::string compoundFile(const std::vector<Node>& children, unsigned shift = 9) {
    const uint32_t sectorSize = 1u << shift;
    struct Entry {
        std::u16string name;
        uint8_t type;
        uint32_t left = noEntry, right = noEntry, child = noEntry, start = endOfChain;
        uint64_t size = 0;
    };
    std::vector<Entry> entries{{u"Root Entry", 5}};
    std::string sectors;
    std::vector<uint32_t> fat;
    std::string miniStream;
    std::vector<uint32_t> miniFat;
    const auto allocate = [&](const std::string& bytes) -> uint32_t {
        if (bytes.empty()) {
            return endOfChain;
        }
        const auto first = static_cast<uint32_t>(fat.size());
        const size_t count = (bytes.size() + sectorSize - 1) / sectorSize;
        for (size_t i = 0; i < count; ++i) {
            fat.push_back(i + 1 < count ? first + static_cast<uint32_t>(i) + 1 : endOfChain);
        }
        sectors += bytes;
        sectors.resize(fat.size() * sectorSize, '\0');
        return first;
    };
    const auto allocateMini = [&](const std::string& bytes) -> uint32_t {
        if (bytes.empty()) {
            return endOfChain;
        }
        const auto first = static_cast<uint32_t>(miniFat.size());
        const size_t count = (bytes.size() + 63) / 64;
        for (size_t i = 0; i < count; ++i) {
            miniFat.push_back(i + 1 < count ? first + static_cast<uint32_t>(i) + 1 : endOfChain);
        }
        miniStream += bytes;
        miniStream.resize(miniFat.size() * 64, '\0');
        return first;
    };
    const auto addChildren = [&](const auto& self, const std::vector<Node>& nodes) -> uint32_t {
        std::vector<const Node*> sorted;
        for (const Node& node : nodes) {
            sorted.push_back(&node);
        }
        std::sort(sorted.begin(), sorted.end(), [](const Node* a, const Node* b) { return nameLess(a->name, b->name); });
        uint32_t previous = noEntry, first = noEntry;
        for (const Node* node : sorted) {
            const auto id = static_cast<uint32_t>(entries.size());
            entries.push_back({node->name, static_cast<uint8_t>(node->storage ? 1 : 2)});
            if (node->storage) {
                const uint32_t child = self(self, node->children);
                entries[id].child = child;
            } else {
                entries[id].size = node->bytes.size();
                entries[id].start = node->bytes.size() < 4096 ? allocateMini(node->bytes) : allocate(node->bytes);
            }
            (previous == noEntry ? first : entries[previous].right) = id;
            previous = id;
        }
        return first;
    };
    entries[0].child = addChildren(addChildren, children);
    entries[0].size = miniStream.size();
    entries[0].start = allocate(miniStream);

    std::string miniFatBytes;
    for (const uint32_t next : miniFat) {
        append(miniFatBytes, next, 4);
    }
    while (miniFatBytes.size() % sectorSize != 0) {
        append(miniFatBytes, freeSector, 4);
    }
    const uint32_t miniFatStart = allocate(miniFatBytes);

    std::string directory;
    for (const Entry& entry : entries) {
        std::string bytes(128, '\0');
        for (size_t i = 0; i < entry.name.size(); ++i) {
            put16(bytes, 2 * i, entry.name[i]);
        }
        put16(bytes, 64, static_cast<uint32_t>(entry.name.size() + 1) * 2);
        bytes[66] = static_cast<char>(entry.type);
        if (entry.type == 5) {
            // The class of installer databases, {000C1084-0000-0000-C000-000000000046}, which libmsi requires.
            const unsigned char installerClass[16] = {0x84, 0x10, 0x0C, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
            std::copy(installerClass, installerClass + 16, bytes.begin() + 80);
        }
        bytes[67] = 1;
        put32(bytes, 68, entry.left);
        put32(bytes, 72, entry.right);
        put32(bytes, 76, entry.child);
        put32(bytes, 116, entry.start);
        put32(bytes, 120, static_cast<uint32_t>(entry.size));
        put32(bytes, 124, static_cast<uint32_t>(entry.size >> 32));
        directory += bytes;
    }
    while (directory.size() % sectorSize != 0) {
        std::string unused(128, '\0');
        put32(unused, 68, noEntry);
        put32(unused, 72, noEntry);
        put32(unused, 76, noEntry);
        directory += unused;
    }
    const uint32_t directoryStart = allocate(directory);
    const auto directorySectors = static_cast<uint32_t>(directory.size() / sectorSize);

    // The FAT covers itself too.
    const uint32_t perSector = sectorSize / 4;
    uint32_t fatSectors = 1;
    while ((fat.size() + fatSectors + perSector - 1) / perSector > fatSectors) {
        ++fatSectors;
    }
    if (fatSectors > 109) {
        throw std::length_error("the test's compound file writer keeps the FAT within the header's 109 entries");
    }
    const auto fatStart = static_cast<uint32_t>(fat.size());
    for (uint32_t i = 0; i < fatSectors; ++i) {
        fat.push_back(fatMark);
    }
    fat.resize(size_t{fatSectors} * perSector, freeSector);
    std::string fatBytes;
    for (const uint32_t next : fat) {
        append(fatBytes, next, 4);
    }
    sectors.resize(size_t{fatStart} * sectorSize);
    sectors += fatBytes;

    std::string header(sectorSize, '\0');
    const unsigned char signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(signature, signature + 8, header.begin());
    put16(header, 24, 0x3E);
    put16(header, 26, shift == 12 ? 4 : 3);
    put16(header, 28, 0xFFFE);
    put16(header, 30, shift);
    put16(header, 32, 6);
    put32(header, 40, shift == 12 ? directorySectors : 0);
    put32(header, 44, fatSectors);
    put32(header, 48, directoryStart);
    put32(header, 56, 4096);
    put32(header, 60, miniFat.empty() ? endOfChain : miniFatStart);
    put32(header, 64, miniFat.empty() ? 0 : static_cast<uint32_t>(miniFatBytes.size() / sectorSize));
    put32(header, 68, endOfChain);
    put32(header, 72, 0);
    for (uint32_t i = 0; i < 109; ++i) {
        put32(header, 76 + 4 * i, i < fatSectors ? fatStart + i : freeSector);
    }
    return header + sectors;
}

// The installer's stream name of a table (see PackageProperties.cpp for the packing); written
// here again so that the two can be wrong only in the same way, which the library then shows.
inline std::u16string tableStreamName(std::string_view table) {
    const std::string_view alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
    std::u16string name(1, u'\x4840');
    for (size_t i = 0; i < table.size(); i += 2) {
        const auto low = static_cast<char16_t>(alphabet.find(table[i]));
        name += i + 1 < table.size() ? static_cast<char16_t>(0x3800 + low + (alphabet.find(table[i + 1]) << 6))
                                     : static_cast<char16_t>(0x4800 + low);
    }
    return name;
}

// An installer database that holds only a Property table.
struct Database {
    uint32_t codepage = 0;
    // String references of 3 bytes; set by itself once there are more than 65535 strings.
    bool longReferences = false;
    // Rows, the bytes as stored in the codepage.
    std::vector<std::pair<std::string, std::string>> properties;
    // Strings the pool holds before the rows' own, so that the rows' references need a third byte.
    size_t fillerStrings = 0;
    // What _Columns says of the Property table: its name there, the Value column's type, and
    // whether a third column follows.
    std::string declaredTable = "Property";
    uint32_t valueType = 0x0F00;
    bool thirdColumn = false;
};

// The database's table streams by table name: _StringPool, _StringData, _Tables, _Columns, Property.
inline std::map<std::string, std::string> databaseStreams(const Database& database) {
    std::vector<std::string> strings;
    std::map<std::string, uint32_t> ids;
    const auto intern = [&](const std::string& text) -> uint32_t {
        if (text.empty()) {
            return 0;
        }
        const auto [found, added] = ids.emplace(text, static_cast<uint32_t>(strings.size() + 1));
        if (added) {
            strings.push_back(text);
        }
        return found->second;
    };
    for (size_t i = 0; i < database.fillerStrings; ++i) {
        intern("filler" + std::to_string(i));
    }
    const uint32_t propertyName = intern("Property");
    const uint32_t valueName = intern("Value");
    const uint32_t declaredName = intern(database.declaredTable);
    const uint32_t thirdName = intern("Third");
    std::vector<std::pair<uint32_t, uint32_t>> rows;
    for (const auto& [name, value] : database.properties) {
        rows.emplace_back(intern(name), intern(value));
    }
    const bool longReferences = database.longReferences || strings.size() > 0xFFFF;
    const unsigned width = longReferences ? 3 : 2;

    std::map<std::string, std::string> streams;
    std::string& pool = streams["_StringPool"];
    std::string& data = streams["_StringData"];
    append(pool, database.codepage | (longReferences ? 0x80000000u : 0), 4);
    for (const std::string& text : strings) {
        if (text.size() > 0xFFFF) {
            append(pool, 0, 2);
            append(pool, static_cast<uint32_t>(text.size() >> 16), 2);
        }
        append(pool, static_cast<uint32_t>(text.size() & 0xFFFF), 2);
        append(pool, 1, 2);
        data += text;
    }
    append(streams["_Tables"], declaredName, width);
    // _Columns: Table, Number, Name, Type, column by column.
    std::vector<std::vector<uint32_t>> declared{{declaredName, 1, propertyName, 0x2D48}, {declaredName, 2, valueName, database.valueType}};
    if (database.thirdColumn) {
        declared.push_back({declaredName, 3, thirdName, 0x1F00});
    }
    std::string& columns = streams["_Columns"];
    for (const auto& column : declared) {
        append(columns, column[0], width);
    }
    for (const auto& column : declared) {
        append(columns, column[1] ^ 0x8000, 2);
    }
    for (const auto& column : declared) {
        append(columns, column[2], width);
    }
    for (const auto& column : declared) {
        append(columns, column[3] ^ 0x8000, 2);
    }
    if (!rows.empty()) {
        std::string& property = streams["Property"];
        for (const auto& row : rows) {
            append(property, row.first, width);
        }
        for (const auto& row : rows) {
            append(property, row.second, width);
        }
    }
    return streams;
}

// The nodes of a root storage holding the table streams.
inline std::vector<Node> tableNodes(const std::map<std::string, std::string>& streams) {
    std::vector<Node> nodes;
    for (const auto& [table, bytes] : streams) {
        nodes.push_back({tableStreamName(table), bytes, false, {}});
    }
    return nodes;
}

inline std::string databaseFile(const Database& database, unsigned shift = 9) {
    return compoundFile(tableNodes(databaseStreams(database)), shift);
}

} // namespace cfb
