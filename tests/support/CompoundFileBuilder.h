// Installer databases and compound files made byte by byte for the tests of the package reader:
// what packages built with wixl do not have (sectors of 4096 bytes, 3-byte string references,
// codepage 65001, strings over 64 KB, sub-storages) and tables of the wrong shape. The platform's
// installer library reads the same files, so a fault shared by this writer and the reader shows
// as a difference from the library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cfb {

constexpr uint32_t endOfChain = 0xFFFFFFFE;
constexpr uint32_t freeSector = 0xFFFFFFFF;
constexpr uint32_t noEntry = 0xFFFFFFFF;

inline void put(std::string& out, size_t at, uint32_t value, unsigned width = 4) {
    for (unsigned i = 0; i < width; ++i) {
        out[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
    }
}
inline void append(std::string& out, uint32_t value, unsigned width = 4) {
    out.resize(out.size() + width);
    put(out, out.size() - width, value, width);
}
inline uint32_t get32(const std::string& in, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(in[at + i]);
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

// A compound file of version 3 (sector shift 9) or 4 (shift 12) whose root holds `children`.
// Each storage's children hang off it as one chain of right siblings in the order compound files
// sort names (by length, then by upper-cased units), a valid if unbalanced search tree. Streams
// below 4096 bytes go to the mini stream; the FAT must fit the header's 109 entries.
inline std::string compoundFile(const std::vector<Node>& children, unsigned shift = 9) {
    const uint32_t sectorSize = 1u << shift;
    std::string sectors, miniStream, directory;
    std::vector<uint32_t> fat, miniFat;
    // Appends `bytes` in units of `unit` to `space`, chained in `table`; the first unit's number.
    const auto allocate = [](std::string& space, std::vector<uint32_t>& table, uint32_t unit, const std::string& bytes) {
        const auto first = static_cast<uint32_t>(table.size());
        for (size_t i = 0, count = (bytes.size() + unit - 1) / unit; i < count; ++i) {
            table.push_back(i + 1 < count ? first + static_cast<uint32_t>(i) + 1 : endOfChain);
        }
        space += bytes;
        space.resize(table.size() * unit, '\0');
        return bytes.empty() ? endOfChain : first;
    };
    const auto entry = [&](const std::u16string& name, uint8_t type, uint32_t child, uint32_t start, uint64_t size) {
        std::string bytes(128, '\0');
        for (size_t i = 0; i < name.size(); ++i) {
            put(bytes, 2 * i, name[i], 2);
        }
        put(bytes, 64, static_cast<uint32_t>(name.size() + 1) * 2, 2);
        bytes[66] = static_cast<char>(type);
        bytes[67] = 1;
        put(bytes, 68, noEntry), put(bytes, 72, noEntry), put(bytes, 76, child), put(bytes, 116, start);
        put(bytes, 120, static_cast<uint32_t>(size)), put(bytes, 124, static_cast<uint32_t>(size >> 32));
        if (type == 5) {
            // The class of installer databases, {000C1084-0000-0000-C000-000000000046}, which libmsi requires.
            put(bytes, 80, 0x000C1084), bytes[88] = '\xC0', bytes[95] = '\x46';
        }
        directory += bytes;
    };
    entry(u"Root Entry", 5, noEntry, endOfChain, 0);
    const auto addChildren = [&](const auto& self, const std::vector<Node>& nodes) -> uint32_t {
        std::vector<const Node*> sorted;
        for (const Node& node : nodes) {
            sorted.push_back(&node);
        }
        const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
        std::sort(sorted.begin(), sorted.end(), [&](const Node* a, const Node* b) {
            return a->name.size() != b->name.size() ? a->name.size() < b->name.size()
                                                    : std::lexicographical_compare(a->name.begin(), a->name.end(), b->name.begin(), b->name.end(),
                                                                                   [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
        });
        uint32_t previous = noEntry, first = noEntry;
        for (const Node* node : sorted) {
            const auto id = static_cast<uint32_t>(directory.size() / 128);
            entry(node->name, node->storage ? 1 : 2, noEntry, endOfChain, node->bytes.size());
            if (node->storage) {
                put(directory, id * 128 + 76, self(self, node->children));
            } else {
                put(directory, id * 128 + 116,
                    node->bytes.size() < 4096 ? allocate(miniStream, miniFat, 64, node->bytes) : allocate(sectors, fat, sectorSize, node->bytes));
            }
            if (previous != noEntry) {
                put(directory, previous * 128 + 72, id);
            }
            first = previous == noEntry ? id : first;
            previous = id;
        }
        return first;
    };
    put(directory, 76, addChildren(addChildren, children));
    put(directory, 116, allocate(sectors, fat, sectorSize, miniStream));
    put(directory, 120, static_cast<uint32_t>(miniStream.size()));
    std::string miniFatBytes;
    for (const uint32_t next : miniFat) {
        append(miniFatBytes, next);
    }
    while (miniFatBytes.size() % sectorSize != 0) {
        append(miniFatBytes, freeSector);
    }
    const uint32_t miniFatStart = allocate(sectors, fat, sectorSize, miniFatBytes);
    while (directory.size() % sectorSize != 0) {
        entry(u"", 0, noEntry, 0, 0);
    }
    const uint32_t directoryStart = allocate(sectors, fat, sectorSize, directory);

    // The FAT covers its own sectors too, marked 0xFFFFFFFD.
    const uint32_t perSector = sectorSize / 4;
    uint32_t fatSectors = 1;
    while ((fat.size() + fatSectors + perSector - 1) / perSector > fatSectors) {
        ++fatSectors;
    }
    const auto fatStart = static_cast<uint32_t>(fat.size());
    fat.resize(fat.size() + fatSectors, 0xFFFFFFFD);
    fat.resize(size_t{fatSectors} * perSector, freeSector);
    for (const uint32_t next : fat) {
        append(sectors, next);
    }

    std::string header(sectorSize, '\0');
    header.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
    put(header, 24, 0x3E, 2), put(header, 26, shift == 12 ? 4 : 3, 2), put(header, 28, 0xFFFE, 2);
    put(header, 30, shift, 2), put(header, 32, 6, 2);
    put(header, 40, shift == 12 ? static_cast<uint32_t>(directory.size() / sectorSize) : 0);
    put(header, 44, fatSectors), put(header, 48, directoryStart), put(header, 56, 4096);
    put(header, 60, miniFatStart), put(header, 64, static_cast<uint32_t>(miniFatBytes.size() / sectorSize));
    put(header, 68, endOfChain), put(header, 72, 0);
    for (uint32_t i = 0; i < 109; ++i) {
        put(header, 76 + 4 * i, i < fatSectors ? fatStart + i : freeSector);
    }
    return header + sectors;
}

// The installer's stream name of a table, written here again (see PackageProperties.cpp) so that
// the two can be wrong only in the same way, which the library then shows.
inline std::u16string tableStreamName(std::string_view table) {
    const std::string_view alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
    std::u16string name(1, u'\x4840');
    for (size_t i = 0; i < table.size(); i += 2) {
        const size_t low = alphabet.find(table[i]);
        name += static_cast<char16_t>(i + 1 < table.size() ? 0x3800 + low + (alphabet.find(table[i + 1]) << 6) : 0x4800 + low);
    }
    return name;
}

// An installer database that holds a Property table only.
struct Database {
    uint32_t codepage = 0;
    // String references of 3 bytes; set by itself once there are more than 65535 strings.
    bool longReferences = false;
    // Rows, the bytes as stored in the codepage.
    std::vector<std::pair<std::string, std::string>> properties;
    // Strings the pool holds before the rows' own, so that the rows' references need a third byte.
    size_t fillerStrings = 0;
    // What _Columns says of the Property table: its name there, Value's type, a third column.
    std::string declaredTable = "Property";
    uint32_t valueType = 0x0F00;
    bool thirdColumn = false;
};

// The database's table streams by table name: _StringPool, _StringData, _Tables, _Columns, Property.
inline std::map<std::string, std::string> databaseStreams(const Database& database) {
    std::vector<std::string> strings;
    std::map<std::string, uint32_t> ids;
    const auto intern = [&](const std::string& text) -> uint32_t {
        const auto [found, added] = ids.emplace(text, static_cast<uint32_t>(strings.size() + 1));
        if (added && !text.empty()) {
            strings.push_back(text);
        }
        return text.empty() ? 0 : found->second;
    };
    for (size_t i = 0; i < database.fillerStrings; ++i) {
        intern("filler" + std::to_string(i));
    }
    const uint32_t table = intern(database.declaredTable);
    // _Columns' rows: Table, Number, Name, Type.
    std::vector<std::vector<uint32_t>> columns{{table, 1, intern("Property"), 0x2D48}, {table, 2, intern("Value"), database.valueType}};
    if (database.thirdColumn) {
        columns.push_back({table, 3, intern("Third"), 0x1F00});
    }
    std::vector<uint32_t> names, values;
    for (const auto& [name, value] : database.properties) {
        names.push_back(intern(name));
        values.push_back(intern(value));
    }
    const unsigned width = database.longReferences || strings.size() > 0xFFFF ? 3 : 2;

    std::map<std::string, std::string> streams;
    append(streams["_StringPool"], database.codepage | (width == 3 ? 0x80000000u : 0));
    for (const std::string& text : strings) {
        if (text.size() > 0xFFFF) {
            append(streams["_StringPool"], static_cast<uint32_t>(text.size() >> 16) << 16);
        }
        append(streams["_StringPool"], static_cast<uint32_t>(text.size() & 0xFFFF) | 1u << 16);
        streams["_StringData"] += text;
    }
    append(streams["_Tables"], table, width);
    // Tables are stored column by column; integers of 2 bytes with their top bit flipped.
    for (size_t column = 0; column < 4; ++column) {
        for (const auto& row : columns) {
            append(streams["_Columns"], column % 2 == 0 ? row[column] : row[column] ^ 0x8000, column % 2 == 0 ? width : 2);
        }
    }
    for (const auto* cells : {&names, &values}) {
        for (const uint32_t cell : *cells) {
            append(streams["Property"], cell, width);
        }
    }
    if (database.properties.empty()) {
        streams.erase("Property");
    }
    return streams;
}

// The nodes of a root storage that holds the table streams.
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
