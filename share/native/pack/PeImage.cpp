#include "PeImage.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "PackError.h"
#include "Utf.h"

namespace pack {

namespace {

[[noreturn]] void throwMalformed(const std::string& path, const std::string& reason,
                                 const std::source_location& location = std::source_location::current()) {
    throw Error("[" + path + "] is not a valid 64-bit PE file: " + reason, location);
}

bool isPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

constexpr uint32_t maxSections = 96;
// Bounds the work a crafted directory whose tables share subtrees can cause.
constexpr size_t maxResourceEntries = 1 << 20;

// Thrown past the end of a file cut short, and caught where what is missing can be left out.
struct PastTheEnd {};

class ResourceDirectoryReader {
public:
    ResourceDirectoryReader(const PeImage& image, const PeSection& section, uint32_t rootRva, std::vector<CutResource>* cut)
        : image(image), section(section), rootRva(rootRva), cut(cut) {}

    void read(ResourceTree& tree) {
        try {
            readTable(0, 0, tree, ResourceId(uint16_t{0}), ResourceId(uint16_t{0}));
        } catch (const PastTheEnd&) {
        }
    }

private:
    // Reads bytes that the headers say are there; past the end of a file cut short, throws
    // PastTheEnd when cut files are read.
    void readBytes(uint64_t at, char* buffer, size_t count) const {
        if (cut && at + count > image.fileSize()) {
            throw PastTheEnd{};
        }
        image.file()->read(at, buffer, count);
    }

    // Offset of `size` bytes at `offset` from the root, checked to lie in the section's raw data.
    uint64_t fileOffset(uint64_t offset, uint64_t size) const {
        const uint64_t rva = uint64_t{rootRva} + offset;
        if (rva < section.virtualAddress || rva + size > uint64_t{section.virtualAddress} + section.rawSize) {
            throwMalformed(image.path(), "resource directory data at offset " + std::to_string(offset) +
                                             " lies outside its section");
        }
        return section.rawOffset + (rva - section.virtualAddress);
    }

    void readTable(uint32_t offset, int level, ResourceTree& tree, const ResourceId& type, const ResourceId& name) {
        char header[16];
        readBytes(fileOffset(offset, sizeof header), header, sizeof header);
        const uint32_t count = uint32_t{loadU16(header + 12)} + loadU16(header + 14);
        entriesSeen += count;
        if (entriesSeen > maxResourceEntries) {
            throwMalformed(image.path(), "the resource directory has more than " + std::to_string(maxResourceEntries) +
                                             " entries");
        }
        std::vector<char> entries(size_t{count} * 8);
        readBytes(fileOffset(uint64_t{offset} + sizeof header, entries.size()), entries.data(), entries.size());
        for (uint32_t i = 0; i < count; ++i) {
            try {
                readEntry(entries.data() + 8 * i, level, tree, type, name);
            } catch (const PastTheEnd&) {
                // Only what lies past the end is left out; the entries before it stay.
            }
        }
    }

    void readEntry(const char* entry, int level, ResourceTree& tree, const ResourceId& type, const ResourceId& name) {
        const uint32_t id = loadU32(entry);
        const uint32_t target = loadU32(entry + 4);
        const bool isTable = (target & 0x80000000) != 0;
        if (isTable != (level < 2)) {
            throwMalformed(image.path(), "resource directory level " + std::to_string(level) +
                                         " has an entry of the wrong kind");
        }
        if (level == 0) {
            readTable(target & 0x7FFFFFFF, 1, tree, readId(id), name);
        } else if (level == 1) {
            readTable(target & 0x7FFFFFFF, 2, tree, type, readId(id));
        } else {
            if (id > 0xFFFF) {
                throwMalformed(image.path(), "resource language " + std::to_string(id) + " is not a number");
            }
            const uint16_t language = static_cast<uint16_t>(id);
            const std::optional<DataBlock> data = readData(target, type, name, language);
            if (data) {
                tree.put(type, name, language, *data);
            }
        }
    }

    ResourceId readId(uint32_t id) const {
        if (!(id & 0x80000000)) {
            if (id > 0xFFFF) {
                throwMalformed(image.path(), "resource id " + std::to_string(id) + " is out of range");
            }
            return ResourceId(static_cast<uint16_t>(id));
        }
        const uint32_t offset = id & 0x7FFFFFFF;
        char lengthBytes[2];
        readBytes(fileOffset(offset, 2), lengthBytes, 2);
        const uint16_t length = loadU16(lengthBytes);
        std::vector<char> chars(size_t{length} * 2);
        readBytes(fileOffset(uint64_t{offset} + 2, chars.size()), chars.data(), chars.size());
        std::u16string name(length, u'\0');
        for (uint16_t i = 0; i < length; ++i) {
            name[i] = static_cast<char16_t>(loadU16(chars.data() + 2 * i));
        }
        if (name.empty()) {
            throwMalformed(image.path(), "a resource name is empty");
        }
        return ResourceId(name);
    }

    // The data, or nullopt when it lies past the end of a file cut short (then listed as cut).
    std::optional<DataBlock> readData(uint32_t offset, const ResourceId& type, const ResourceId& name, uint16_t language) const {
        char entry[16];
        readBytes(fileOffset(offset, sizeof entry), entry, sizeof entry);
        const uint32_t rva = loadU32(entry);
        const uint32_t size = loadU32(entry + 4);
        const uint64_t at = image.fileOffsetOf(rva, size);
        if (cut && at + size > image.fileSize()) {
            cut->push_back({type, name, language, size});
            return std::nullopt;
        }
        return DataBlock(image.file(), at, size);
    }

    const PeImage& image;
    const PeSection& section;
    uint32_t rootRva;
    std::vector<CutResource>* cut;
    size_t entriesSeen = 0;
};

} // namespace

PeImage PeImage::open(const std::string& path, Cut cut) {
    PeImage image(SourceFile::open(path));
    image.readHeaders(cut);
    return image;
}

void PeImage::readHeaders(Cut cut) {
    const uint64_t size = fileSize();
    // A file cut short inside its headers: with Cut::Allowed, said so rather than what is missing.
    const auto requireWithin = [&](uint64_t end) {
        if (cut == Cut::Allowed && end > size) {
            throw Error(path() + " is truncated: it has only " + std::to_string(size) + " bytes and ends inside its headers");
        }
    };
    if (size < pe::dosHeaderSize) {
        throwMalformed(path(), "it has only " + std::to_string(size) + " bytes");
    }
    char dos[pe::dosHeaderSize];
    source->read(0, dos, sizeof dos);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        throwMalformed(path(), "it does not start with the MZ signature");
    }
    ntOffset = loadU32(dos + pe::dosNewHeaderOffset);
    if (ntOffset >= pe::dosHeaderSize && ntOffset <= 0x10000000) {
        requireWithin(uint64_t{ntOffset} + 4 + pe::fileHeaderSize + 2);
    }
    if (ntOffset < pe::dosHeaderSize || ntOffset > 0x10000000 || uint64_t{ntOffset} + 4 + pe::fileHeaderSize + 2 > size) {
        throwMalformed(path(), "the PE header offset " + std::to_string(static_cast<int32_t>(ntOffset)) + " is out of range");
    }
    char ntHeaders[4 + pe::fileHeaderSize + 2];
    source->read(ntOffset, ntHeaders, sizeof ntHeaders);
    if (std::memcmp(ntHeaders, "PE\0\0", 4) != 0) {
        throwMalformed(path(), "the PE signature is missing");
    }
    const uint16_t magic = loadU16(ntHeaders + 4 + pe::fileHeaderSize);
    if (magic == pe::magic32) {
        throwMalformed(path(), "it is a 32-bit image (PE32)");
    }
    if (magic != pe::magic64) {
        throwMalformed(path(), "the optional header has the unknown magic number " + std::to_string(magic));
    }
    optionalSize = loadU16(ntHeaders + 4 + pe::sizeOfOptionalHeader);
    const uint32_t sectionCount = loadU16(ntHeaders + 4 + pe::numberOfSections);
    if (optionalSize >= pe::dataDirectories && optionalSize <= pe::dataDirectories + 8 * pe::maxDataDirectories) {
        requireWithin(uint64_t{optionalHeaderOffset()} + optionalSize);
    }
    if (optionalSize < pe::dataDirectories || optionalSize > pe::dataDirectories + 8 * pe::maxDataDirectories ||
        uint64_t{optionalHeaderOffset()} + optionalSize > size) {
        throwMalformed(path(), "the optional header size " + std::to_string(optionalSize) + " is invalid");
    }
    char optional[pe::dataDirectories];
    source->read(optionalHeaderOffset(), optional, sizeof optional);
    const uint32_t directories = loadU32(optional + pe::numberOfRvaAndSizes);
    if (directories > pe::maxDataDirectories || pe::dataDirectories + 8 * directories > optionalSize) {
        throwMalformed(path(), "it declares " + std::to_string(directories) + " data directories in an optional header of " +
                                   std::to_string(optionalSize) + " bytes");
    }
    const uint32_t fileAlign = loadU32(optional + pe::fileAlignment);
    const uint32_t sectionAlign = loadU32(optional + pe::sectionAlignment);
    if (!isPowerOfTwo(fileAlign) || fileAlign < 512 || fileAlign > 65536 || !isPowerOfTwo(sectionAlign) ||
        sectionAlign < fileAlign) {
        throwMalformed(path(), "the file alignment " + std::to_string(fileAlign) + " or the section alignment " +
                                   std::to_string(sectionAlign) + " is invalid");
    }
    if (sectionCount == 0 || sectionCount > maxSections) {
        throwMalformed(path(), "it has " + std::to_string(sectionCount) + " sections");
    }
    const uint32_t headersSize = loadU32(optional + pe::sizeOfHeaders);
    const uint64_t tableEnd = uint64_t{sectionTableOffset()} + uint64_t{sectionCount} * pe::sectionHeaderSize;
    if (headersSize >= tableEnd) {
        requireWithin(headersSize);
    }
    if (headersSize < tableEnd || headersSize > size) {
        throwMalformed(path(), "the header size " + std::to_string(headersSize) + " does not cover the section table");
    }
    headerBytes.resize(headersSize);
    source->read(0, headerBytes.data(), headerBytes.size());

    uint32_t previousEnd = 0;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint32_t at = sectionTableOffset() + i * pe::sectionHeaderSize;
        const char* header = headerBytes.data() + at;
        PeSection section;
        section.name.assign(header, std::find(header, header + pe::sectionNameSize, '\0'));
        section.virtualSize = loadU32(header + pe::sectionVirtualSize);
        section.virtualAddress = loadU32(header + pe::sectionVirtualAddress);
        section.rawSize = loadU32(header + pe::sectionRawSize);
        section.rawOffset = loadU32(header + pe::sectionRawOffset);
        section.characteristics = loadU32(header + pe::sectionCharacteristics);
        section.headerOffset = at;
        const bool pastTheEnd = uint64_t{section.rawOffset} + section.rawSize > size && cut == Cut::Refused;
        if (section.rawSize > 0 && (section.rawOffset < headersSize || pastTheEnd)) {
            throwMalformed(path(), "the data of section " + std::to_string(i) + " lies outside the file");
        }
        const uint64_t end = uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
        if (section.virtualAddress < previousEnd || end > 0xFFFFFFFF) {
            throwMalformed(path(), "section " + std::to_string(i) + " overlaps the one before it");
        }
        previousEnd = static_cast<uint32_t>(end);
        sectionList.push_back(section);
    }
}

DataDirectory PeImage::dataDirectory(uint32_t index) const {
    if (index >= dataDirectoryCount()) {
        return {};
    }
    const uint32_t at = pe::dataDirectories + 8 * index;
    return {optionalField(at), optionalField(at + 4)};
}

uint64_t PeImage::endOfSectionData() const {
    uint64_t end = sizeOfHeaders();
    for (const PeSection& section : sectionList) {
        if (section.rawSize > 0) {
            end = std::max(end, uint64_t{section.rawOffset} + section.rawSize);
        }
    }
    return end;
}

uint64_t PeImage::declaredSize() const {
    const DataDirectory certificates = dataDirectory(pe::securityDirectory);
    // The certificate table's "address" is a file offset.
    const uint64_t certificatesEnd = certificates.size > 0 ? uint64_t{certificates.virtualAddress} + certificates.size : 0;
    return std::max(endOfSectionData(), certificatesEnd);
}

const PeSection* PeImage::sectionAt(uint32_t rva) const {
    for (const PeSection& section : sectionList) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < std::max(section.virtualSize, section.rawSize)) {
            return &section;
        }
    }
    return nullptr;
}

uint64_t PeImage::fileOffsetOf(uint32_t rva, uint32_t size) const {
    const PeSection* section = sectionAt(rva);
    if (!section || uint64_t{rva} - section->virtualAddress + size > section->rawSize) {
        throwMalformed(path(), std::to_string(size) + " bytes at RVA " + std::to_string(rva) +
                                   " do not lie in the stored data of a section");
    }
    return section->rawOffset + (rva - section->virtualAddress);
}

ResourceTree PeImage::resources(std::vector<CutResource>* cut) const {
    ResourceTree tree;
    const DataDirectory directory = dataDirectory(pe::resourceDirectory);
    if (directory.virtualAddress == 0 || directory.size == 0) {
        return tree;
    }
    const PeSection* section = sectionAt(directory.virtualAddress);
    if (!section) {
        throwMalformed(path(), "the resource directory lies in no section");
    }
    ResourceDirectoryReader(*this, *section, directory.virtualAddress, cut).read(tree);
    return tree;
}

} // namespace pack
