#include "PeWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "ErrorHandling.h"
#include "Log.h"
#include "ResourceSection.h"

namespace pack {

namespace {

// The sum that CheckSumMappedFile computes: 16-bit little-endian words added with end-around
// carry, then the file length. The pieces of the file can be added in any order.
class PeChecksum {
public:
    void add(uint64_t offset, const char* data, size_t size) {
        const auto byte = [data](size_t i) { return uint64_t{static_cast<uint8_t>(data[i])}; };
        size_t i = 0;
        if ((offset & 1) != 0 && size > 0) {
            sum += byte(0) << 8;
            i = 1;
        }
        for (; i + 1 < size; i += 2) {
            sum += byte(i) | byte(i + 1) << 8;
        }
        if (i < size) {
            sum += byte(i);
        }
    }

    uint32_t finish(uint64_t fileSize) const {
        uint64_t folded = sum;
        while (folded >> 16) {
            folded = (folded & 0xFFFF) + (folded >> 16);
        }
        return static_cast<uint32_t>(folded + fileSize);
    }

private:
    uint64_t sum = 0;
};

[[noreturn]] void refuse(const PeImage& stub, const tstrings::MessageBuilder& reason,
                         const SourceLocation& location = std::source_location::current()) {
    throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
        << "Cannot add resources to [" << stub.path() << "]: " << reason.str()).utf8()), location);
}

constexpr uint32_t pageSize = 4096;

bool overlaps(uint64_t start1, uint64_t size1, uint64_t start2, uint64_t size2) {
    return start1 < start2 + size2 && start2 < start1 + size1;
}

uint32_t virtualExtent(const PeSection& section) { return std::max(section.virtualSize, section.rawSize); }

// The stub's resource section can be rewritten in place, at any size, only when nothing follows
// it in the file or in memory and it holds nothing but the resources. Otherwise a new section is
// appended and the old one stays, unused: moving the sections after it would mean relocating
// whatever refers to them.
bool canReplaceInPlace(const PeImage& stub, const PeSection* old) {
    const IMAGE_DATA_DIRECTORY resources = stub.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    if (!old || old != &stub.sections().back() || old->virtualAddress != resources.VirtualAddress || old->rawSize == 0 ||
        uint64_t{old->rawOffset} + old->rawSize != stub.endOfSectionData()) {
        return false;
    }
    for (const PeSection& section : stub.sections()) {
        if (&section != old && section.rawSize > 0 && section.rawOffset + uint64_t{section.rawSize} > old->rawOffset) {
            return false;
        }
    }
    for (uint32_t i = 0; i < stub.dataDirectoryCount(); ++i) {
        const IMAGE_DATA_DIRECTORY other = stub.dataDirectory(i);
        if (i != IMAGE_DIRECTORY_ENTRY_RESOURCE && other.Size > 0 &&
            overlaps(other.VirtualAddress, other.Size, old->virtualAddress, virtualExtent(*old))) {
            return false;
        }
    }
    return true;
}

// Offset of the free slot for one more section header; refuses when there is none.
uint32_t newHeaderSlot(const PeImage& stub) {
    const uint32_t slot = stub.sectionTableOffset() + static_cast<uint32_t>(stub.sections().size()) * IMAGE_SIZEOF_SECTION_HEADER;
    uint64_t firstData = stub.sizeOfHeaders();
    for (const PeSection& section : stub.sections()) {
        if (section.rawSize > 0) {
            firstData = std::min<uint64_t>(firstData, section.rawOffset);
        }
    }
    const std::vector<char>& headers = stub.headers();
    const bool free = slot + uint64_t{IMAGE_SIZEOF_SECTION_HEADER} <= firstData &&
                      std::all_of(headers.begin() + slot, headers.begin() + slot + IMAGE_SIZEOF_SECTION_HEADER,
                                  [](char c) { return c == 0; });
    if (!free) {
        refuse(stub, tstrings::MessageBuilder() << "its headers have no room for another section header");
    }
    return slot;
}

void checkFits(const PeImage& stub, uint64_t end, const char* what) {
    if (end > std::numeric_limits<uint32_t>::max()) {
        refuse(stub, tstrings::MessageBuilder() << "the " << what << " would grow past 4 GB");
    }
}

void setName(std::vector<char>& headers, uint32_t headerOffset, const char* name) {
    char field[IMAGE_SIZEOF_SHORT_NAME] = {};
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
    std::memcpy(headers.data() + headerOffset, field, sizeof field);
}

} // namespace

ImageLayout writeImage(const PeImage& stub, const ResourceTree& resources, ByteSink& sink) {
    if (stub.hasCertificateTable()) {
        refuse(stub, tstrings::MessageBuilder() << "it is signed (it has a certificate table); pack an unsigned launcher and sign the result");
    }
    if (stub.trailingDataSize() > 0) {
        refuse(stub, tstrings::MessageBuilder() << "it has " << stub.trailingDataSize()
                     << " bytes of data after its last section (appended data or a symbol table); pack a stripped launcher");
    }
    if (stub.dataDirectoryCount() <= IMAGE_DIRECTORY_ENTRY_RESOURCE) {
        refuse(stub, tstrings::MessageBuilder() << "its optional header has no resource directory entry");
    }
    const uint32_t fileAlignment = stub.fileAlignment();
    const uint32_t sectionAlignment = stub.sectionAlignment();
    if (fileAlignment < pageSize && Logger::global().accepts(Severity::WARNING)) {
        logAt(Severity::WARNING, tstrings::MessageBuilder() << "[" << stub.path() << "] has the file alignment " << fileAlignment
                                 << " rather than " << pageSize << "; Wine will copy its code and data into private memory");
    }
    // Wine maps a section straight from the file only when its data starts on a page boundary,
    // and reads it into private memory otherwise. The resource section, which holds the package,
    // therefore starts on a page whatever the stub's file alignment (a page is a multiple of it).
    const uint64_t resourceAlignment = std::max(fileAlignment, pageSize);

    const IMAGE_DATA_DIRECTORY oldDirectory = stub.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    const PeSection* old = oldDirectory.Size > 0 ? stub.sectionAt(oldDirectory.VirtualAddress) : nullptr;
    ImageLayout layout;
    layout.appendedSection = !canReplaceInPlace(stub, old);
    uint32_t headerOffset = 0;
    uint64_t keptEnd = 0;
    if (layout.appendedSection) {
        headerOffset = newHeaderSlot(stub);
        const PeSection& last = stub.sections().back();
        layout.resourceRva = static_cast<uint32_t>(alignUp(
            std::max<uint64_t>(uint64_t{last.virtualAddress} + virtualExtent(last), stub.optionalHeader().SizeOfImage),
            sectionAlignment));
        layout.resourceFileOffset = alignUp(stub.endOfSectionData(), resourceAlignment);
        keptEnd = stub.endOfSectionData();
    } else {
        headerOffset = old->headerOffset;
        layout.resourceRva = old->virtualAddress;
        layout.resourceFileOffset = alignUp(old->rawOffset, resourceAlignment);
        keptEnd = old->rawOffset;
    }
    checkFits(stub, layout.resourceRva, "image");
    const ResourceSection section(resources, layout.resourceRva);
    layout.resourceSize = section.size();
    const uint64_t rawSize = alignUp(section.size(), fileAlignment);
    const uint64_t imageSize = alignUp(uint64_t{layout.resourceRva} + section.size(), sectionAlignment);
    layout.fileSize = layout.resourceFileOffset + rawSize;
    checkFits(stub, imageSize, "image");
    checkFits(stub, layout.fileSize, "file");

    std::vector<char> headers = stub.headers();
    IMAGE_SECTION_HEADER header{};
    if (layout.appendedSection) {
        std::memcpy(header.Name, ".rsrc", 5);
        header.Characteristics = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ;
        const uint32_t countOffset = stub.ntHeadersOffset() + 4 + offsetof(IMAGE_FILE_HEADER, NumberOfSections);
        storeU16(headers.data() + countOffset, static_cast<uint16_t>(stub.sections().size() + 1));
        // Tools that find resources by section name should not find the stale copy.
        if (old && old->name == ".rsrc") {
            setName(headers, old->headerOffset, ".oldrsrc");
        }
    } else {
        std::memcpy(&header, headers.data() + headerOffset, sizeof header);
    }
    header.Misc.VirtualSize = section.size();
    header.VirtualAddress = layout.resourceRva;
    header.SizeOfRawData = static_cast<DWORD>(rawSize);
    header.PointerToRawData = static_cast<DWORD>(layout.resourceFileOffset);
    std::memcpy(headers.data() + headerOffset, &header, sizeof header);

    const uint32_t optional = stub.optionalHeaderOffset();
    uint64_t initializedData = stub.optionalHeader().SizeOfInitializedData;
    if (!layout.appendedSection) {
        initializedData -= std::min<uint64_t>(initializedData, old->rawSize);
    }
    storeU32(headers.data() + optional + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfInitializedData),
             static_cast<uint32_t>(std::min<uint64_t>(initializedData + rawSize, std::numeric_limits<uint32_t>::max())));
    storeU32(headers.data() + optional + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage), static_cast<uint32_t>(imageSize));
    const uint32_t directory = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) + 8 * IMAGE_DIRECTORY_ENTRY_RESOURCE;
    storeU32(headers.data() + directory, layout.resourceRva);
    storeU32(headers.data() + directory + 4, section.size());
    const uint32_t checksumOffset = optional + offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum);
    storeU32(headers.data() + checksumOffset, 0);

    std::vector<DataBlock> body;
    body.emplace_back(stub.file(), stub.sizeOfHeaders(), keptEnd - stub.sizeOfHeaders());
    body.push_back(DataBlock::zeros(static_cast<size_t>(layout.resourceFileOffset - keptEnd)));
    body.insert(body.end(), section.blocks().begin(), section.blocks().end());
    body.push_back(DataBlock::zeros(static_cast<size_t>(rawSize - section.size())));

    PeChecksum checksum;
    checksum.add(0, headers.data(), headers.size());
    uint64_t offset = headers.size();
    for (const DataBlock& block : body) {
        block.visit([&](const char* data, size_t size) {
            checksum.add(offset, data, size);
            offset += size;
        });
    }
    layout.checksum = checksum.finish(layout.fileSize);
    storeU32(headers.data() + checksumOffset, layout.checksum);

    sink.write(headers.data(), headers.size());
    for (const DataBlock& block : body) {
        block.writeTo(sink);
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Wrote " << layout.fileSize << " bytes from [" << stub.path()
                               << "] with " << resources.count() << " resources in "
                               << (layout.appendedSection ? "an appended section" : "its rewritten last section"));
    }
    return layout;
}

} // namespace pack
