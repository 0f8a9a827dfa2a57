#include "PackageProperties.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace PackageProperties {

bool MemorySource::read(std::uint64_t offset, void* into, std::size_t count) const {
    if (offset > length || count > length - offset) {
        return false;
    }
    if (count > 0) {
        std::memcpy(into, data + offset, count);
    }
    return true;
}

namespace {

// Thrown wherever the bytes stop making sense, and caught by read(), which turns it into nullopt.
struct Malformed {
    std::string why;
};

[[noreturn]] void fail(std::string why) { throw Malformed{std::move(why)}; }

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::uint64_t le64(const std::uint8_t* p) { return le32(p) | std::uint64_t{le32(p + 4)} << 32; }
// A table cell of 2, 3 or 4 bytes.
std::uint32_t leN(const std::uint8_t* p, unsigned width) {
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | p[i];
    }
    return value;
}

// Sector numbers above this one mark free sectors and chain ends, never a place in the file.
constexpr std::uint32_t maxRegularSector = 0xFFFFFFFA;
constexpr std::uint32_t endOfChain = 0xFFFFFFFE;
constexpr std::uint32_t noEntry = 0xFFFFFFFF;
constexpr std::uint32_t miniSectorSize = 64;
// Streams shorter than this live in the mini stream; the format fixes the value.
constexpr std::uint64_t miniStreamCutoff = 4096;
constexpr std::uint32_t directoryEntrySize = 128;
constexpr std::uint32_t headerDifatEntries = 109;
constexpr std::size_t headerSize = 512;

enum class EntryType : std::uint8_t { Unused = 0, Storage = 1, Stream = 2, Root = 5 };

struct Entry {
    std::u16string name;
    EntryType type = EntryType::Unused;
    std::uint32_t left = noEntry;
    std::uint32_t right = noEntry;
    std::uint32_t child = noEntry;
    std::uint32_t start = endOfChain;
    std::uint64_t size = 0;
};

// The sectors of one chain, found by following a table of next sectors (the FAT, or the mini FAT
// for mini sectors) only as far as a read needs, and remembered. Every step is checked: a chain
// that ends early, names a sector past `sectorCount`, grows past `maxLength` or comes back to a
// sector it passed fails.
class Chain {
public:
    using Next = std::uint32_t (*)(void* owner, std::uint32_t sector);

    Chain(std::uint32_t first, std::uint64_t sectorCount, std::uint64_t maxLength, const char* what, Next next, void* owner)
        : first(first), sectorCount(sectorCount), maxLength(maxLength), what(what), next(next), owner(owner) {}

    std::uint32_t at(std::uint64_t index) {
        if (index >= maxLength || index >= sectorCount) {
            fail(std::string("the ") + what + " would be longer than the sectors it may have");
        }
        while (sectors.size() <= index) {
            const std::uint32_t sector = sectors.empty() ? first : next(owner, sectors.back());
            if (sector == endOfChain) {
                fail(std::string("the ") + what + " ends before its size");
            }
            if (sector > maxRegularSector || sector >= sectorCount) {
                fail(std::string("the ") + what + " names sector " + std::to_string(sector) + ", which does not exist");
            }
            if (!seen.insert(sector).second) {
                fail(std::string("the ") + what + " comes back to sector " + std::to_string(sector));
            }
            sectors.push_back(sector);
        }
        return sectors[static_cast<std::size_t>(index)];
    }

private:
    std::uint32_t first;
    std::uint64_t sectorCount;
    std::uint64_t maxLength;
    const char* what;
    Next next;
    void* owner;
    std::vector<std::uint32_t> sectors;
    std::unordered_set<std::uint32_t> seen;
};

// Reads that follow one another in the file are made as one.
class ReadBatch {
public:
    explicit ReadBatch(const ByteSource& source) : source(source) {}

    void add(std::uint64_t offset, std::uint8_t* into, std::size_t count) {
        if (pendingCount > 0 && offset == pendingOffset + pendingCount && into == pendingInto + pendingCount) {
            pendingCount += count;
            return;
        }
        flush();
        pendingOffset = offset, pendingInto = into, pendingCount = count;
    }
    void flush() {
        if (pendingCount > 0 && !source.read(pendingOffset, pendingInto, pendingCount)) {
            fail("the file cannot be read at offset " + std::to_string(pendingOffset) + " (cut short?)");
        }
        pendingCount = 0;
    }

private:
    const ByteSource& source;
    std::uint64_t pendingOffset = 0;
    std::uint8_t* pendingInto = nullptr;
    std::size_t pendingCount = 0;
};

// The compound file: its header, and the FAT, DIFAT and mini FAT sectors read as chains need them.
class CompoundFile {
public:
    explicit CompoundFile(const ByteSource& source) : source(source) {
        std::uint8_t header[headerSize];
        if (source.size() < headerSize || !source.read(0, header, headerSize)) {
            fail("the file is shorter than a compound file's header");
        }
        static const std::uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        if (std::memcmp(header, signature, sizeof signature) != 0) {
            fail("the file is no compound file (no signature)");
        }
        const std::uint16_t major = le16(header + 26);
        const std::uint16_t shift = le16(header + 30);
        if (le16(header + 28) != 0xFFFE) {
            fail("the compound file's byte order mark is wrong");
        }
        if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) {
            fail("compound file version " + std::to_string(major) + " with sectors of 2^" + std::to_string(shift) +
                 " bytes is not known");
        }
        if (le16(header + 32) != 6) {
            fail("the compound file's mini sectors are not 64 bytes");
        }
        if (le32(header + 56) != miniStreamCutoff) {
            fail("the compound file's mini stream cutoff is not 4096");
        }
        version = major;
        sectorSize = std::uint32_t{1} << shift;
        if (source.size() < sectorSize) {
            fail("the file is shorter than its header sector");
        }
        // The last sector may be cut short; reading past the end then fails where it is needed.
        sectorCount = std::min<std::uint64_t>((source.size() - sectorSize + sectorSize - 1) / sectorSize,
                                              std::uint64_t{maxRegularSector} + 1);
        fatSectorCount = le32(header + 44);
        firstDirectorySector = le32(header + 48);
        firstMiniFatSector = le32(header + 60);
        miniFatSectorCount = le32(header + 64);
        firstDifatSector = le32(header + 68);
        difatSectorCount = le32(header + 72);
        for (std::uint32_t i = 0; i < headerDifatEntries; ++i) {
            headerDifat[i] = le32(header + 76 + 4 * i);
        }
        directory.emplace(Chain(firstDirectorySector, sectorCount, sectorCount, "directory chain", &CompoundFile::nextInFat, this));
        const Entry root = entry(0);
        if (root.type != EntryType::Root) {
            fail("the compound file's first directory entry is not its root");
        }
        rootChild = root.child;
        miniStreamSize = root.size;
        if (miniStreamSize > source.size()) {
            fail("the mini stream is larger than the file");
        }
        miniStream.emplace(Chain(root.start, sectorCount, sectorCount, "mini stream's chain", &CompoundFile::nextInFat, this));
        miniFat.emplace(Chain(firstMiniFatSector, sectorCount, miniFatSectorCount, "mini FAT chain",
                              &CompoundFile::nextInFat, this));
    }

    std::uint32_t version = 0;
    std::uint32_t sectorSize = 0;

    // The streams that are direct children of the root storage, by name. Sub-storages are not
    // entered: they may hold other databases' tables under the same names.
    std::map<std::u16string, Entry> rootStreams() {
        std::map<std::u16string, Entry> streams;
        std::unordered_set<std::uint32_t> visited{0};
        std::vector<std::uint32_t> pending{rootChild};
        while (!pending.empty()) {
            const std::uint32_t id = pending.back();
            pending.pop_back();
            if (id == noEntry) {
                continue;
            }
            if (!visited.insert(id).second) {
                fail("the root storage's directory tree comes back to entry " + std::to_string(id));
            }
            Entry found = entry(id);
            if (found.type != EntryType::Stream && found.type != EntryType::Storage) {
                fail("directory entry " + std::to_string(id) + " in the root storage's tree is neither a stream nor a storage");
            }
            pending.push_back(found.left);
            pending.push_back(found.right);
            if (found.type == EntryType::Stream) {
                std::u16string name = found.name;
                if (!streams.emplace(std::move(name), std::move(found)).second) {
                    fail("two streams of the root storage have the same name");
                }
            }
        }
        return streams;
    }

    // Reads `count` bytes of the stream from `offset`; the range lies within the stream.
    void readStream(const Entry& stream, Chain& chain, std::uint64_t offset, std::uint8_t* into, std::size_t count) {
        ReadBatch batch(source);
        const bool mini = stream.size < miniStreamCutoff;
        const std::uint32_t unit = mini ? miniSectorSize : sectorSize;
        while (count > 0) {
            const std::uint32_t sector = chain.at(offset / unit);
            const std::uint32_t within = static_cast<std::uint32_t>(offset % unit);
            const std::size_t piece = std::min<std::size_t>(count, unit - within);
            std::uint64_t at = 0;
            if (mini) {
                // A mini sector never straddles two sectors: 64 divides the sector size.
                const std::uint64_t inMiniStream = std::uint64_t{sector} * miniSectorSize + within;
                at = fileOffset(miniStream->at(inMiniStream / sectorSize)) + inMiniStream % sectorSize;
            } else {
                at = fileOffset(sector) + within;
            }
            batch.add(at, into, piece);
            offset += piece, into += piece, count -= piece;
        }
        batch.flush();
    }

    // The chain of a stream's sectors: mini sectors below the cutoff, else sectors. Its size is
    // checked against the space that holds it.
    Chain chainOf(const Entry& stream) {
        if (stream.size < miniStreamCutoff) {
            if (stream.size > miniStreamSize) {
                fail("a stream is larger than the mini stream that holds it");
            }
            const std::uint64_t miniSectors = (miniStreamSize + miniSectorSize - 1) / miniSectorSize;
            return Chain(stream.start, miniSectors, miniSectors, "chain of a stream in the mini stream",
                         &CompoundFile::nextInMiniFat, this);
        }
        if (stream.size > source.size()) {
            fail("a stream is larger than the file");
        }
        return Chain(stream.start, sectorCount, sectorCount, "chain of a stream", &CompoundFile::nextInFat, this);
    }

private:
    std::uint64_t fileOffset(std::uint32_t sector) const { return (std::uint64_t{sector} + 1) * sectorSize; }

    // A sector of a table (FAT, DIFAT or mini FAT), read once.
    const std::vector<std::uint8_t>& tableSector(std::uint32_t sector) {
        if (sector > maxRegularSector || sector >= sectorCount) {
            fail("a FAT, DIFAT or mini FAT sector number, " + std::to_string(sector) + ", names no sector of the file");
        }
        auto [found, added] = tableSectors.try_emplace(sector);
        if (added) {
            found->second.resize(sectorSize);
            if (!source.read(fileOffset(sector), found->second.data(), sectorSize)) {
                tableSectors.erase(found);
                fail("the file cannot be read at sector " + std::to_string(sector) + " (cut short?)");
            }
        }
        return found->second;
    }

    // Where the index-th FAT sector is: in the header's 109 entries, then in the DIFAT chain,
    // each of whose sectors lists sectorSize / 4 - 1 of them and then the next DIFAT sector.
    std::uint32_t fatSector(std::uint64_t index) {
        if (index >= fatSectorCount) {
            fail("a sector lies beyond the FAT's " + std::to_string(fatSectorCount) + " sectors");
        }
        if (index < headerDifatEntries) {
            return headerDifat[index];
        }
        const std::uint64_t perDifat = sectorSize / 4 - 1;
        const std::uint64_t difatIndex = (index - headerDifatEntries) / perDifat;
        if (difatIndex >= difatSectorCount) {
            fail("the FAT sector " + std::to_string(index) + " lies beyond the header's DIFAT sectors");
        }
        while (difatSectors.size() <= difatIndex) {
            const std::uint32_t sector =
                difatSectors.empty() ? firstDifatSector : le32(tableSector(difatSectors.back()).data() + perDifat * 4);
            if (sector > maxRegularSector || sector >= sectorCount) {
                fail("the DIFAT chain names sector " + std::to_string(sector) + ", which does not exist");
            }
            if (std::find(difatSectors.begin(), difatSectors.end(), sector) != difatSectors.end()) {
                fail("the DIFAT chain comes back to sector " + std::to_string(sector));
            }
            difatSectors.push_back(sector);
        }
        const std::size_t slot = static_cast<std::size_t>((index - headerDifatEntries) % perDifat);
        return le32(tableSector(difatSectors[static_cast<std::size_t>(difatIndex)]).data() + slot * 4);
    }

    static std::uint32_t nextInFat(void* self, std::uint32_t sector) {
        auto& file = *static_cast<CompoundFile*>(self);
        const std::uint32_t perSector = file.sectorSize / 4;
        return le32(file.tableSector(file.fatSector(sector / perSector)).data() + (sector % perSector) * 4);
    }

    static std::uint32_t nextInMiniFat(void* self, std::uint32_t miniSector) {
        auto& file = *static_cast<CompoundFile*>(self);
        const std::uint32_t perSector = file.sectorSize / 4;
        return le32(file.tableSector(file.miniFat->at(miniSector / perSector)).data() + (miniSector % perSector) * 4);
    }

    Entry entry(std::uint32_t id) {
        const std::uint32_t perSector = sectorSize / directoryEntrySize;
        const std::uint64_t at = fileOffset(directory->at(id / perSector)) + std::uint64_t{id % perSector} * directoryEntrySize;
        std::uint8_t bytes[directoryEntrySize];
        if (!source.read(at, bytes, sizeof bytes)) {
            fail("the file cannot be read at directory entry " + std::to_string(id) + " (cut short?)");
        }
        Entry result;
        result.type = static_cast<EntryType>(bytes[66]);
        if (result.type == EntryType::Unused) {
            return result;
        }
        const std::uint16_t nameBytes = le16(bytes + 64);
        if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0) {
            fail("directory entry " + std::to_string(id) + " has a name of " + std::to_string(nameBytes) + " bytes");
        }
        for (std::uint16_t i = 0; i + 2 < nameBytes; i += 2) {
            result.name += static_cast<char16_t>(le16(bytes + i));
        }
        result.left = le32(bytes + 68);
        result.right = le32(bytes + 72);
        result.child = le32(bytes + 76);
        result.start = le32(bytes + 116);
        // Version 3 files keep sizes below 4 GB, and their high half may hold anything.
        result.size = version == 3 ? le32(bytes + 120) : le64(bytes + 120);
        return result;
    }

    const ByteSource& source;
    std::uint64_t sectorCount = 0;
    std::uint32_t fatSectorCount = 0;
    std::uint32_t firstDirectorySector = 0;
    std::uint32_t firstMiniFatSector = 0;
    std::uint32_t miniFatSectorCount = 0;
    std::uint32_t firstDifatSector = 0;
    std::uint32_t difatSectorCount = 0;
    std::uint32_t headerDifat[headerDifatEntries] = {};
    std::vector<std::uint32_t> difatSectors;
    std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> tableSectors;
    std::optional<Chain> directory;
    std::optional<Chain> miniStream;
    std::optional<Chain> miniFat;
    std::uint32_t rootChild = noEntry;
    std::uint64_t miniStreamSize = 0;
};

// A stream of the root storage, read piece by piece.
class Stream {
public:
    Stream(CompoundFile& file, const Entry& entry) : file(file), entry(entry), chain(file.chainOf(entry)) {}

    std::uint64_t size() const { return entry.size; }
    void read(std::uint64_t offset, std::uint8_t* into, std::size_t count) {
        if (offset > entry.size || count > entry.size - offset) {
            fail("a read passes the end of a stream");
        }
        file.readStream(entry, chain, offset, into, count);
    }
    std::vector<std::uint8_t> readAll() {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(entry.size));
        read(0, bytes.data(), bytes.size());
        return bytes;
    }

private:
    CompoundFile& file;
    Entry entry;
    Chain chain;
};

// The installer's stream name of a table: U+4840, then the name with each pair of characters
// from [0-9A-Za-z._] packed into one unit of U+3800..U+47FF (the first character in the low six
// bits), a last single one into U+4800..U+483F. Only such characters occur in the names read here.
std::u16string tableStreamName(std::string_view table) {
    const auto value = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') {
            return static_cast<unsigned>(c - '0');
        }
        if (c >= 'A' && c <= 'Z') {
            return static_cast<unsigned>(c - 'A' + 10);
        }
        if (c >= 'a' && c <= 'z') {
            return static_cast<unsigned>(c - 'a' + 36);
        }
        return c == '.' ? 62u : 63u;
    };
    std::u16string name(1, u'\x4840');
    for (std::size_t i = 0; i < table.size(); i += 2) {
        name += i + 1 < table.size() ? static_cast<char16_t>(0x3800 + value(table[i]) + (value(table[i + 1]) << 6))
                                     : static_cast<char16_t>(0x4800 + value(table[i]));
    }
    return name;
}

// The string pool: _StringPool holds a header (the codepage, and in its top bit whether string
// references take 3 bytes instead of 2), then for each string its length and reference count,
// 16 bits each. A string longer than 65535 bytes takes two entries: the first with length 0 and
// the length's high 16 bits in its count, the second with the low 16 bits and the count. An entry
// of two zeros is an unused string, still numbered. _StringData holds the strings one after the
// other, without terminators. String 0 is the null string; the first entry after the header is 1.
class StringPool {
public:
    StringPool(Stream pool, Stream data) : pool(std::move(pool)), data(std::move(data)) {
        spans.emplace(0, Span{});
        if (this->pool.size() % 4 != 0) {
            fail("the string pool's size is not a multiple of 4");
        }
        if (this->pool.size() >= 4) {
            std::uint8_t header[4];
            this->pool.read(0, header, 4);
            const std::uint32_t word = le32(header);
            codepage = word & 0x7FFFFFFF;
            referenceSize = (word & 0x80000000) != 0 ? 3 : 2;
        }
    }

    std::uint32_t codepage = 0;
    unsigned referenceSize = 2;

    // Finds where the strings `ids` lie, reading the pool only up to the last of them; fails
    // when one lies beyond the pool, or the pool's lengths beyond _StringData.
    void locate(const std::set<std::uint32_t>& ids) {
        if (ids.empty() || *ids.rbegin() == 0) {
            return;
        }
        const std::uint32_t last = *ids.rbegin();
        const std::uint64_t entries = pool.size() / 4;
        std::uint64_t entry = 1;
        std::uint64_t offset = 0;
        for (std::uint32_t id = 1; id <= last; ++id) {
            if (entry >= entries) {
                fail("a string reference, " + std::to_string(last) + ", lies beyond the string pool");
            }
            std::uint64_t length = entryAt(entry);
            ++entry;
            if ((length & 0xFFFF) == 0 && length >> 16 != 0) {
                if (entry >= entries) {
                    fail("the string pool ends inside the entry of a long string");
                }
                length = (length >> 16) << 16 | (entryAt(entry) & 0xFFFF);
                ++entry;
            } else {
                length &= 0xFFFF;
            }
            if (length > data.size() - offset) {
                fail("the string pool's lengths run past the end of _StringData");
            }
            if (ids.count(id) != 0) {
                spans[id] = Span{offset, length};
            }
            offset += length;
        }
    }

    // A located string's bytes, read once however many cells name it.
    const std::string& text(std::uint32_t id) {
        auto [found, added] = texts.try_emplace(id);
        if (added) {
            const auto located = spans.find(id);
            if (located == spans.end()) {
                fail("string " + std::to_string(id) + " was not located");
            }
            const Span span = located->second;
            found->second.resize(static_cast<std::size_t>(span.length));
            data.read(span.offset, reinterpret_cast<std::uint8_t*>(found->second.data()), found->second.size());
        }
        return found->second;
    }

private:
    struct Span {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    // Entry `index` as its length | count << 16, read through a window of the pool.
    std::uint32_t entryAt(std::uint64_t index) {
        constexpr std::uint64_t windowEntries = 4096;
        if (index < windowStart || index >= windowStart + window.size() / 4) {
            windowStart = index;
            window.resize(static_cast<std::size_t>(std::min(windowEntries, pool.size() / 4 - index) * 4));
            pool.read(index * 4, window.data(), window.size());
        }
        const std::uint8_t* p = window.data() + (index - windowStart) * 4;
        return le16(p) | std::uint32_t{le16(p + 2)} << 16;
    }

    Stream pool;
    Stream data;
    std::vector<std::uint8_t> window;
    std::uint64_t windowStart = 0;
    std::map<std::uint32_t, Span> spans;
    std::map<std::uint32_t, std::string> texts;
};

// A table stream: the rows' cells column by column, each column's cells one after the other,
// little-endian, as wide as the column's type says.
class Table {
public:
    Table(std::vector<std::uint8_t> bytes, std::vector<unsigned> widths, const char* name) : bytes(std::move(bytes)) {
        unsigned rowSize = 0;
        for (const unsigned width : widths) {
            columnOffsets.push_back(rowSize);
            rowSize += width;
        }
        this->widths = std::move(widths);
        if (this->bytes.size() % rowSize != 0) {
            fail(std::string("the ") + name + " table's size, " + std::to_string(this->bytes.size()) +
                 " bytes, is no multiple of its rows' size, " + std::to_string(rowSize));
        }
        rows = this->bytes.size() / rowSize;
    }

    std::size_t rows = 0;
    std::uint32_t cell(std::size_t row, std::size_t column) const {
        return leN(bytes.data() + columnOffsets[column] * rows + row * widths[column], widths[column]);
    }

private:
    std::vector<std::uint8_t> bytes;
    std::vector<unsigned> widths;
    std::vector<std::size_t> columnOffsets;
};

// Column types of _Columns: a string column holds references into the pool, except a binary one
// (a stream's name), which always takes 2 bytes; temporary columns are not stored at all.
constexpr std::uint32_t typeString = 0x0800;
constexpr std::uint32_t typeNullable = 0x1000;
constexpr std::uint32_t typeTemporary = 0x4000;
constexpr std::uint32_t typeBinary = 0x0900;
// Integers of 2 bytes are stored with their top bit flipped, so that 0 stands for null.
constexpr std::uint32_t integerBias = 0x8000;

Properties readProperties(const ByteSource& source, const std::vector<std::string>& names) {
    CompoundFile file(source);
    std::map<std::u16string, Entry> streams = file.rootStreams();
    const auto stream = [&](const char* table) -> std::optional<Stream> {
        const auto found = streams.find(tableStreamName(table));
        if (found == streams.end()) {
            return std::nullopt;
        }
        return Stream(file, found->second);
    };
    std::optional<Stream> poolStream = stream("_StringPool");
    std::optional<Stream> dataStream = stream("_StringData");
    std::optional<Stream> columnsStream = stream("_Columns");
    if (!poolStream || !dataStream || !columnsStream) {
        fail("the compound file holds no installer database (no _StringPool, _StringData or _Columns)");
    }
    StringPool pool(std::move(*poolStream), std::move(*dataStream));
    const unsigned ref = pool.referenceSize;

    // _Columns: Table, Number, Name, Type, the schema every database has.
    const Table columns(columnsStream->readAll(), {ref, 2, ref, 2}, "_Columns");
    std::optional<Stream> propertyStream = stream("Property");
    // Property: the key Property and Value, both strings, as every database declares it; checked
    // against _Columns below.
    const Table property(propertyStream ? propertyStream->readAll() : std::vector<std::uint8_t>{}, {ref, ref}, "Property");

    // One pass over the pool finds every string needed: the tables' names, and the rows' texts.
    std::set<std::uint32_t> ids;
    for (std::size_t row = 0; row < columns.rows; ++row) {
        ids.insert(columns.cell(row, 0));
    }
    for (std::size_t row = 0; row < property.rows; ++row) {
        ids.insert(property.cell(row, 0));
        ids.insert(property.cell(row, 1));
    }
    pool.locate(ids);

    std::vector<std::pair<std::uint32_t, std::uint32_t>> propertyColumns; // number, type
    for (std::size_t row = 0; row < columns.rows; ++row) {
        if (pool.text(columns.cell(row, 0)) == "Property") {
            propertyColumns.emplace_back(columns.cell(row, 1) ^ integerBias, columns.cell(row, 3) ^ integerBias);
        }
    }
    if (propertyColumns.empty() && property.rows > 0) {
        fail("the database has a Property stream but no Property table in _Columns");
    }
    if (!propertyColumns.empty()) {
        std::sort(propertyColumns.begin(), propertyColumns.end());
        const auto storedString = [](std::uint32_t type) {
            return (type & typeString) != 0 && (type & typeTemporary) == 0 && (type & ~typeNullable) != typeBinary;
        };
        if (propertyColumns.size() != 2 || propertyColumns[0].first != 1 || propertyColumns[1].first != 2 ||
            !storedString(propertyColumns[0].second) || !storedString(propertyColumns[1].second)) {
            fail("the Property table's columns are not the two strings Property and Value");
        }
    }

    Properties result;
    result.codepage = pool.codepage;
    const std::set<std::string> wanted(names.begin(), names.end());
    for (std::size_t row = 0; row < property.rows; ++row) {
        const std::string& name = pool.text(property.cell(row, 0));
        if ((wanted.empty() || wanted.count(name) != 0) && result.values.count(name) == 0) {
            result.values.emplace(name, pool.text(property.cell(row, 1)));
        }
    }
    return result;
}

} // namespace

std::optional<Properties> read(const ByteSource& package, const std::vector<std::string>& names, std::string* why) {
    try {
        return readProperties(package, names);
    } catch (const Malformed& malformed) {
        if (why) {
            *why = malformed.why;
        }
    } catch (const std::bad_alloc&) {
        // Sizes are bounded by the file's, but a large file may still claim more than memory holds.
        if (why) {
            *why = "the database's tables are larger than the memory available";
        }
    }
    return std::nullopt;
}

} // namespace PackageProperties
