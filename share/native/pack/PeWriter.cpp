#include "PeWriter.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "PackError.h"
#include "PackageChecksum.h"
#include "ResourceSection.h"

namespace pack {

void PeChecksum::add(uint64_t offset, const char* data, size_t size) {
    const auto byte = [](char c) { return uint64_t{static_cast<uint8_t>(c)}; };
    size_t i = 0;
    // Bytes before the first whole 32-bit word, then the words, then what is left.
    for (; i < size && (offset + i) % 4 != 0; ++i) {
        sum += byte(data[i]) << (8 * ((offset + i) % 2));
    }
    const auto word = [](const char* at) {
        uint32_t value = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&value, at, 4);
        } else {
            value = loadU32(at);
        }
        return uint64_t{value};
    };
    // Four independent sums: the processor adds them side by side, which doubles the speed on a
    // package of hundreds of megabytes.
    uint64_t sums[4] = {};
    for (; i + 16 <= size; i += 16) {
        for (size_t k = 0; k < 4; ++k) {
            sums[k] += word(data + i + 4 * k);
        }
    }
    for (; i + 4 <= size; i += 4) {
        sums[0] += word(data + i);
    }
    sum += sums[0] + sums[1] + sums[2] + sums[3];
    for (; i < size; ++i) {
        sum += byte(data[i]) << (8 * ((offset + i) % 2));
    }
}

uint32_t PeChecksum::finish(uint64_t fileSize) const {
    uint64_t folded = sum;
    while (folded >> 16) {
        folded = (folded & 0xFFFF) + (folded >> 16);
    }
    return static_cast<uint32_t>(folded + fileSize);
}

namespace {

[[noreturn]] void refuse(const PeImage& stub, const std::string& reason,
                         const std::source_location& location = std::source_location::current()) {
    throw Error("Cannot add resources to [" + stub.path() + "]: " + reason, location);
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
    const DataDirectory resources = stub.dataDirectory(pe::resourceDirectory);
    if (!old || old != &stub.sections().back() || old->virtualAddress != resources.virtualAddress || old->rawSize == 0 ||
        uint64_t{old->rawOffset} + old->rawSize != stub.endOfSectionData()) {
        return false;
    }
    for (const PeSection& section : stub.sections()) {
        if (&section != old && section.rawSize > 0 && section.rawOffset + uint64_t{section.rawSize} > old->rawOffset) {
            return false;
        }
    }
    for (uint32_t i = 0; i < stub.dataDirectoryCount(); ++i) {
        const DataDirectory other = stub.dataDirectory(i);
        if (i != pe::resourceDirectory && other.size > 0 &&
            overlaps(other.virtualAddress, other.size, old->virtualAddress, virtualExtent(*old))) {
            return false;
        }
    }
    return true;
}

// Offset of the free slot for one more section header; refuses when there is none.
uint32_t newHeaderSlot(const PeImage& stub) {
    const uint32_t slot = stub.sectionTableOffset() + static_cast<uint32_t>(stub.sections().size()) * pe::sectionHeaderSize;
    uint64_t firstData = stub.sizeOfHeaders();
    for (const PeSection& section : stub.sections()) {
        if (section.rawSize > 0) {
            firstData = std::min<uint64_t>(firstData, section.rawOffset);
        }
    }
    const std::vector<char>& headers = stub.headers();
    const bool free = slot + uint64_t{pe::sectionHeaderSize} <= firstData &&
                      std::all_of(headers.begin() + slot, headers.begin() + slot + pe::sectionHeaderSize,
                                  [](char c) { return c == 0; });
    if (!free) {
        refuse(stub, "its headers have no room for another section header");
    }
    return slot;
}

void checkFits(const PeImage& stub, uint64_t end, const char* what) {
    if (end > std::numeric_limits<uint32_t>::max()) {
        refuse(stub, std::string("the ") + what + " would grow past 4 GB");
    }
}

void setName(std::vector<char>& headers, uint32_t headerOffset, const char* name) {
    char field[pe::sectionNameSize] = {};
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
    std::memcpy(headers.data() + headerOffset, field, sizeof field);
}

// Passes everything on while it adds it to the image checksum and hashes the package's range.
class ImageSink {
public:
    ImageSink(ByteSink& out, uint64_t packageStart, uint64_t packageEnd)
        : out(out), packageStart(packageStart), packageEnd(packageEnd) {}

    void write(const char* data, size_t size) {
        out.write(data, size);
        count(data, size);
    }
    void write(const DataBlock& block) {
        block.writeTo(out, [this](const char* data, size_t size) { count(data, size); });
    }
    // Writes bytes over zeros already written and counted.
    void patch(uint64_t offset, const char* data, size_t size) {
        out.writeAt(offset, data, size);
        image.add(offset, data, size);
    }

    PeChecksum image;
    PackageChecksum::Xxh64 package;

private:
    // Adds bytes just written to the sums.
    void count(const char* data, size_t size) {
        image.add(position, data, size);
        const uint64_t from = std::max(position, packageStart);
        const uint64_t to = std::min(position + size, packageEnd);
        if (from < to) {
            package.update(data + (from - position), static_cast<size_t>(to - from));
        }
        position += size;
    }

    ByteSink& out;
    uint64_t packageStart;
    uint64_t packageEnd;
    uint64_t position = 0;
};

} // namespace

ImageLayout writeImage(const PeImage& stub, const ResourceTree& stubResources, ByteSink& sink, bool packageChecksum) {
    if (stub.hasCertificateTable()) {
        refuse(stub, "it is signed (it has a certificate table); pack an unsigned launcher and sign the result");
    }
    if (stub.trailingDataSize() > 0) {
        refuse(stub, "it has " + std::to_string(stub.trailingDataSize()) +
                         " bytes of data after its last section (appended data or a symbol table); pack a stripped launcher");
    }
    if (stub.dataDirectoryCount() <= pe::resourceDirectory) {
        refuse(stub, "its optional header has no resource directory entry");
    }
    ResourceTree resources = stubResources;
    if (packageChecksum) {
        if (!resources.contains(ResourceTypes::rcData, ResourceNames::package)) {
            refuse(stub, "there is no package to take a checksum of");
        }
        // Zeros add nothing to the image checksum: the text is added when it is patched in.
        resources.replace(ResourceTypes::rcData, ResourceNames::checksum, neutralLanguage,
                          DataBlock::zeros(PackageChecksum::textLength));
    }
    ImageLayout layout;
    const uint32_t fileAlignment = stub.fileAlignment();
    const uint32_t sectionAlignment = stub.sectionAlignment();
    // Wine maps a section straight from the file only when its data starts on a page boundary,
    // and reads it into private memory otherwise. The resource section, which holds the package,
    // therefore starts on a page whatever the stub's file alignment (a page is a multiple of it);
    // the stub's own code and data, a few hundred kilobytes at most, may be copied.
    const uint64_t resourceAlignment = std::max(fileAlignment, pageSize);

    const DataDirectory oldDirectory = stub.dataDirectory(pe::resourceDirectory);
    const PeSection* old = oldDirectory.size > 0 ? stub.sectionAt(oldDirectory.virtualAddress) : nullptr;
    layout.appendedSection = !canReplaceInPlace(stub, old);
    uint32_t headerOffset = 0;
    uint64_t keptEnd = 0;
    if (layout.appendedSection) {
        headerOffset = newHeaderSlot(stub);
        const PeSection& last = stub.sections().back();
        layout.resourceRva = static_cast<uint32_t>(alignUp(
            std::max<uint64_t>(uint64_t{last.virtualAddress} + virtualExtent(last), stub.sizeOfImage()), sectionAlignment));
        layout.resourceFileOffset = alignUp(stub.endOfSectionData(), resourceAlignment);
        keptEnd = stub.endOfSectionData();
    } else {
        headerOffset = old->headerOffset;
        layout.resourceRva = old->virtualAddress;
        layout.resourceFileOffset = alignUp(old->rawOffset, resourceAlignment);
        keptEnd = old->rawOffset;
    }
    checkFits(stub, layout.resourceRva, "image");
    // The package last: a launcher cut short (an interrupted download) then still holds every
    // other resource, so that it can be told what it is and how much of it is missing.
    const ResourceSection section(resources, layout.resourceRva, ResourceKey{ResourceTypes::rcData, ResourceNames::package});
    layout.resourceSize = section.size();
    const uint64_t rawSize = alignUp(section.size(), fileAlignment);
    const uint64_t imageSize = alignUp(uint64_t{layout.resourceRva} + section.size(), sectionAlignment);
    layout.fileSize = layout.resourceFileOffset + rawSize;
    checkFits(stub, imageSize, "image");
    checkFits(stub, layout.fileSize, "file");

    std::vector<char> headers = stub.headers();
    char* header = headers.data() + headerOffset;
    if (layout.appendedSection) {
        std::memset(header, 0, pe::sectionHeaderSize);
        setName(headers, headerOffset, ".rsrc");
        storeU32(header + pe::sectionCharacteristics, pe::initializedData | pe::memoryRead);
        storeU16(headers.data() + stub.ntHeadersOffset() + 4 + pe::numberOfSections,
                 static_cast<uint16_t>(stub.sections().size() + 1));
        // Tools that find resources by section name should not find the stale copy.
        if (old && old->name == ".rsrc") {
            setName(headers, old->headerOffset, ".oldrsrc");
        }
    }
    storeU32(header + pe::sectionVirtualSize, section.size());
    storeU32(header + pe::sectionVirtualAddress, layout.resourceRva);
    storeU32(header + pe::sectionRawSize, static_cast<uint32_t>(rawSize));
    storeU32(header + pe::sectionRawOffset, static_cast<uint32_t>(layout.resourceFileOffset));

    char* optional = headers.data() + stub.optionalHeaderOffset();
    uint64_t initializedData = stub.optionalField(pe::sizeOfInitializedData);
    if (!layout.appendedSection) {
        initializedData -= std::min<uint64_t>(initializedData, old->rawSize);
    }
    storeU32(optional + pe::sizeOfInitializedData,
             static_cast<uint32_t>(std::min<uint64_t>(initializedData + rawSize, std::numeric_limits<uint32_t>::max())));
    storeU32(optional + pe::sizeOfImage, static_cast<uint32_t>(imageSize));
    storeU32(optional + pe::dataDirectories + 8 * pe::resourceDirectory, layout.resourceRva);
    storeU32(optional + pe::dataDirectories + 8 * pe::resourceDirectory + 4, section.size());
    storeU32(optional + pe::checkSum, 0);

    const std::optional<uint32_t> packageAt = section.dataOffset(ResourceTypes::rcData, ResourceNames::package);
    const uint64_t packageStart = layout.resourceFileOffset + packageAt.value_or(0);
    const uint64_t packageSize = packageAt ? resources.find(ResourceTypes::rcData, ResourceNames::package)->size() : 0;
    ImageSink image(sink, packageStart, packageStart + packageSize);
    image.write(headers.data(), headers.size());
    image.write(DataBlock(stub.file(), stub.sizeOfHeaders(), keptEnd - stub.sizeOfHeaders()));
    image.write(DataBlock::zeros(static_cast<size_t>(layout.resourceFileOffset - keptEnd)));
    for (const DataBlock& block : section.blocks()) {
        image.write(block);
    }
    image.write(DataBlock::zeros(static_cast<size_t>(rawSize - section.size())));

    if (packageChecksum) {
        layout.packageChecksum = image.package.digest();
        const std::string text = PackageChecksum::formatText(layout.packageChecksum);
        image.patch(layout.resourceFileOffset + *section.dataOffset(ResourceTypes::rcData, ResourceNames::checksum),
                    text.data(), text.size());
    }
    layout.checksum = image.image.finish(layout.fileSize);
    char checksum[4];
    storeU32(checksum, layout.checksum);
    sink.writeAt(stub.optionalHeaderOffset() + pe::checkSum, checksum, sizeof checksum);
    return layout;
}

} // namespace pack
