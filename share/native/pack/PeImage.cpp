#include "PeImage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "ErrorHandling.h"

namespace pack {

namespace {

[[noreturn]] void throwMalformed(const tstring& path, const tstrings::MessageBuilder& reason,
                                 const SourceLocation& location = std::source_location::current()) {
    throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
        << "[" << path << "] is not a valid 64-bit PE file: " << reason.str()).utf8()), location);
}

bool isPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

constexpr uint32_t dataDirectoriesOffset = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
constexpr uint32_t maxSections = 96;
// Bounds the work a crafted directory whose tables share subtrees can cause.
constexpr size_t maxResourceEntries = 1 << 20;

class ResourceDirectoryReader {
public:
    ResourceDirectoryReader(const PeImage& image, const PeSection& section, uint32_t rootRva)
        : image(image), section(section), rootRva(rootRva) {}

    void read(ResourceTree& tree) { readTable(0, 0, tree, ResourceId(WORD{0}), ResourceId(WORD{0})); }

private:
    // Offset of `size` bytes at `offset` from the root, checked to lie in the section's raw data.
    uint64_t fileOffset(uint64_t offset, uint64_t size) const {
        const uint64_t rva = uint64_t{rootRva} + offset;
        if (rva < section.virtualAddress || rva + size > uint64_t{section.virtualAddress} + section.rawSize) {
            throwMalformed(image.path(), tstrings::MessageBuilder() << "resource directory data at offset " << offset
                                                                    << " lies outside its section");
        }
        return section.rawOffset + (rva - section.virtualAddress);
    }

    void readTable(uint32_t offset, int level, ResourceTree& tree, const ResourceId& type, const ResourceId& name) {
        char header[16];
        image.file()->read(fileOffset(offset, sizeof header), header, sizeof header);
        const uint32_t count = uint32_t{loadU16(header + 12)} + loadU16(header + 14);
        entriesSeen += count;
        if (entriesSeen > maxResourceEntries) {
            throwMalformed(image.path(), tstrings::MessageBuilder() << "the resource directory has more than "
                                                                    << maxResourceEntries << " entries");
        }
        std::vector<char> entries(size_t{count} * 8);
        image.file()->read(fileOffset(uint64_t{offset} + sizeof header, entries.size()), entries.data(), entries.size());
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t id = loadU32(entries.data() + 8 * i);
            const uint32_t target = loadU32(entries.data() + 8 * i + 4);
            const bool isTable = (target & 0x80000000) != 0;
            if (isTable != (level < 2)) {
                throwMalformed(image.path(), tstrings::MessageBuilder() << "resource directory level " << level
                                                                        << " has an entry of the wrong kind");
            }
            if (level == 0) {
                readTable(target & 0x7FFFFFFF, 1, tree, readId(id), name);
            } else if (level == 1) {
                readTable(target & 0x7FFFFFFF, 2, tree, type, readId(id));
            } else {
                if (id > 0xFFFF) {
                    throwMalformed(image.path(), tstrings::MessageBuilder() << "resource language " << id << " is not a number");
                }
                tree.put(type, name, static_cast<WORD>(id), readData(target));
            }
        }
    }

    ResourceId readId(uint32_t id) const {
        if (!(id & 0x80000000)) {
            if (id > 0xFFFF) {
                throwMalformed(image.path(), tstrings::MessageBuilder() << "resource id " << id << " is out of range");
            }
            return ResourceId(static_cast<WORD>(id));
        }
        const uint32_t offset = id & 0x7FFFFFFF;
        char lengthBytes[2];
        image.file()->read(fileOffset(offset, 2), lengthBytes, 2);
        const uint16_t length = loadU16(lengthBytes);
        std::vector<char> chars(size_t{length} * 2);
        image.file()->read(fileOffset(uint64_t{offset} + 2, chars.size()), chars.data(), chars.size());
        tstring name(length, L'\0');
        for (uint16_t i = 0; i < length; ++i) {
            name[i] = static_cast<wchar_t>(loadU16(chars.data() + 2 * i));
        }
        if (name.empty()) {
            throwMalformed(image.path(), tstrings::MessageBuilder() << "a resource name is empty");
        }
        return ResourceId(name);
    }

    DataBlock readData(uint32_t offset) const {
        char entry[16];
        image.file()->read(fileOffset(offset, sizeof entry), entry, sizeof entry);
        const uint32_t rva = loadU32(entry);
        const uint32_t size = loadU32(entry + 4);
        return DataBlock(image.file(), image.fileOffsetOf(rva, size), size);
    }

    const PeImage& image;
    const PeSection& section;
    uint32_t rootRva;
    size_t entriesSeen = 0;
};

} // namespace

PeImage PeImage::open(const tstring& path) {
    PeImage image(SourceFile::open(path));
    image.readHeaders();
    return image;
}

void PeImage::readHeaders() {
    const uint64_t size = fileSize();
    IMAGE_DOS_HEADER dos{};
    if (size < sizeof dos) {
        throwMalformed(path(), tstrings::MessageBuilder() << "it has only " << size << " bytes");
    }
    source->read(0, &dos, sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) {
        throwMalformed(path(), tstrings::MessageBuilder() << "it does not start with the MZ signature");
    }
    ntOffset = static_cast<uint32_t>(dos.e_lfanew);
    if (dos.e_lfanew < static_cast<LONG>(sizeof dos) || uint64_t{ntOffset} + 4 + IMAGE_SIZEOF_FILE_HEADER + 2 > size) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the PE header offset " << dos.e_lfanew << " is out of range");
    }
    char signature[4];
    source->read(ntOffset, signature, sizeof signature);
    if (std::memcmp(signature, "PE\0\0", 4) != 0) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the PE signature is missing");
    }
    source->read(ntOffset + 4, &fileHeader, IMAGE_SIZEOF_FILE_HEADER);
    WORD magic = 0;
    source->read(optionalHeaderOffset(), &magic, sizeof magic);
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        throwMalformed(path(), tstrings::MessageBuilder() << "it is a 32-bit image (PE32)");
    }
    if (magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the optional header has the unknown magic number " << magic);
    }
    const uint32_t optionalSize = fileHeader.SizeOfOptionalHeader;
    if (optionalSize < dataDirectoriesOffset || optionalSize > sizeof optional ||
        uint64_t{optionalHeaderOffset()} + optionalSize > size) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the optional header size " << optionalSize << " is invalid");
    }
    source->read(optionalHeaderOffset(), &optional, optionalSize);
    if (optional.NumberOfRvaAndSizes > IMAGE_NUMBEROF_DIRECTORY_ENTRIES ||
        dataDirectoriesOffset + 8 * optional.NumberOfRvaAndSizes > optionalSize) {
        throwMalformed(path(), tstrings::MessageBuilder() << "it declares " << optional.NumberOfRvaAndSizes
                                                          << " data directories in an optional header of " << optionalSize << " bytes");
    }
    if (!isPowerOfTwo(optional.FileAlignment) || optional.FileAlignment < 512 || optional.FileAlignment > 65536 ||
        !isPowerOfTwo(optional.SectionAlignment) || optional.SectionAlignment < optional.FileAlignment) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the file alignment " << optional.FileAlignment
                                                          << " or the section alignment " << optional.SectionAlignment << " is invalid");
    }
    const uint32_t sectionCount = fileHeader.NumberOfSections;
    if (sectionCount == 0 || sectionCount > maxSections) {
        throwMalformed(path(), tstrings::MessageBuilder() << "it has " << sectionCount << " sections");
    }
    const uint64_t tableEnd = uint64_t{sectionTableOffset()} + uint64_t{sectionCount} * IMAGE_SIZEOF_SECTION_HEADER;
    if (optional.SizeOfHeaders < tableEnd || optional.SizeOfHeaders > size) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the header size " << optional.SizeOfHeaders
                                                          << " does not cover the section table");
    }
    headerBytes.resize(optional.SizeOfHeaders);
    source->read(0, headerBytes.data(), headerBytes.size());

    uint32_t previousEnd = 0;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        IMAGE_SECTION_HEADER header{};
        const uint32_t at = sectionTableOffset() + i * IMAGE_SIZEOF_SECTION_HEADER;
        std::memcpy(&header, headerBytes.data() + at, sizeof header);
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(header.Name),
                            strnlen(reinterpret_cast<const char*>(header.Name), IMAGE_SIZEOF_SHORT_NAME));
        section.virtualSize = header.Misc.VirtualSize;
        section.virtualAddress = header.VirtualAddress;
        section.rawSize = header.SizeOfRawData;
        section.rawOffset = header.PointerToRawData;
        section.characteristics = header.Characteristics;
        section.headerOffset = at;
        if (section.rawSize > 0 &&
            (section.rawOffset < optional.SizeOfHeaders || uint64_t{section.rawOffset} + section.rawSize > size)) {
            throwMalformed(path(), tstrings::MessageBuilder() << "the data of section " << i << " lies outside the file");
        }
        const uint64_t end = uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
        if (section.virtualAddress < previousEnd || end > 0xFFFFFFFF) {
            throwMalformed(path(), tstrings::MessageBuilder() << "section " << i << " overlaps the one before it");
        }
        previousEnd = static_cast<uint32_t>(end);
        sectionList.push_back(section);
    }
}

uint32_t PeImage::sectionTableOffset() const { return optionalHeaderOffset() + fileHeader.SizeOfOptionalHeader; }

IMAGE_DATA_DIRECTORY PeImage::dataDirectory(uint32_t index) const {
    return index < optional.NumberOfRvaAndSizes ? optional.DataDirectory[index] : IMAGE_DATA_DIRECTORY{};
}

uint64_t PeImage::endOfSectionData() const {
    uint64_t end = optional.SizeOfHeaders;
    for (const PeSection& section : sectionList) {
        if (section.rawSize > 0) {
            end = std::max(end, uint64_t{section.rawOffset} + section.rawSize);
        }
    }
    return end;
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
        throwMalformed(path(), tstrings::MessageBuilder() << size << " bytes at RVA " << rva
                                                          << " do not lie in the stored data of a section");
    }
    return section->rawOffset + (rva - section->virtualAddress);
}

ResourceTree PeImage::resources() const {
    ResourceTree tree;
    const IMAGE_DATA_DIRECTORY directory = dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return tree;
    }
    const PeSection* section = sectionAt(directory.VirtualAddress);
    if (!section) {
        throwMalformed(path(), tstrings::MessageBuilder() << "the resource directory lies in no section");
    }
    ResourceDirectoryReader(*this, *section, directory.VirtualAddress).read(tree);
    return tree;
}

} // namespace pack
