// Reads the headers and the resource tree of a 64-bit PE file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PackIo.h"
#include "ResourceTree.h"

namespace pack {

// Offsets and values of the PE format (PE32+), named as in the format's documentation.
namespace pe {
inline constexpr uint32_t dosHeaderSize = 64;
inline constexpr uint32_t dosNewHeaderOffset = 0x3C; // e_lfanew
inline constexpr uint32_t fileHeaderSize = 20;
// In the file header.
inline constexpr uint32_t machine = 0;
inline constexpr uint32_t numberOfSections = 2;
inline constexpr uint32_t sizeOfOptionalHeader = 16;
inline constexpr uint32_t characteristics = 18;
inline constexpr uint16_t machineAmd64 = 0x8664;
inline constexpr uint16_t executableImage = 0x0002;
inline constexpr uint16_t dllImage = 0x2000;
inline constexpr uint16_t magic32 = 0x10B;
inline constexpr uint16_t magic64 = 0x20B;
// In the PE32+ optional header.
inline constexpr uint32_t sizeOfInitializedData = 8;
inline constexpr uint32_t sectionAlignment = 32;
inline constexpr uint32_t fileAlignment = 36;
inline constexpr uint32_t sizeOfImage = 56;
inline constexpr uint32_t sizeOfHeaders = 60;
inline constexpr uint32_t checkSum = 64;
inline constexpr uint32_t subsystem = 68; // 16 bits
inline constexpr uint16_t subsystemWindowsGui = 2;
inline constexpr uint16_t subsystemWindowsConsole = 3;
inline constexpr uint32_t numberOfRvaAndSizes = 108;
inline constexpr uint32_t dataDirectories = 112;
inline constexpr uint32_t maxDataDirectories = 16;
inline constexpr uint32_t resourceDirectory = 2;
inline constexpr uint32_t securityDirectory = 4;
// A section header.
inline constexpr uint32_t sectionHeaderSize = 40;
inline constexpr uint32_t sectionNameSize = 8;
inline constexpr uint32_t sectionVirtualSize = 8;
inline constexpr uint32_t sectionVirtualAddress = 12;
inline constexpr uint32_t sectionRawSize = 16;
inline constexpr uint32_t sectionRawOffset = 20;
inline constexpr uint32_t sectionCharacteristics = 36;
inline constexpr uint32_t initializedData = 0x00000040;
inline constexpr uint32_t memoryRead = 0x40000000;
} // namespace pe

struct PeSection {
    std::string name;
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
    uint32_t characteristics = 0;
    // Byte offset of this section's header in the file.
    uint32_t headerOffset = 0;
};

struct DataDirectory {
    uint32_t virtualAddress = 0;
    uint32_t size = 0;
};

// A resource whose data the file ends before: a launcher cut short.
struct CutResource {
    ResourceId type;
    ResourceId name;
    uint16_t language;
    uint64_t size;
};

// An open PE32+ file whose headers have been checked. The file stays open while the image or a
// block read from it lives; resource data is read from it only when written.
class PeImage {
public:
    enum class Cut { Refused, Allowed };
    // Throws a pack::Error naming the file when it is not a well-formed 64-bit PE file. With
    // Cut::Allowed, a file that ends before its sections do (an interrupted download) is opened
    // as far as it goes; truncated() then tells. Its headers must be whole either way.
    static PeImage open(const std::string& path, Cut cut = Cut::Refused);

    const std::string& path() const { return source->path(); }
    const std::shared_ptr<const SourceFile>& file() const { return source; }
    uint64_t fileSize() const { return source->size(); }

    // The first SizeOfHeaders bytes, as in the file.
    const std::vector<char>& headers() const { return headerBytes; }
    uint32_t ntHeadersOffset() const { return ntOffset; }
    uint32_t optionalHeaderOffset() const { return ntOffset + 4 + pe::fileHeaderSize; }
    uint32_t sectionTableOffset() const { return optionalHeaderOffset() + optionalSize; }
    // A 32-bit field of the optional header, at one of the pe:: offsets.
    uint32_t optionalField(uint32_t offset) const { return loadU32(headerBytes.data() + optionalHeaderOffset() + offset); }
    uint32_t fileAlignment() const { return optionalField(pe::fileAlignment); }
    uint32_t sectionAlignment() const { return optionalField(pe::sectionAlignment); }
    uint32_t sizeOfHeaders() const { return optionalField(pe::sizeOfHeaders); }
    uint32_t sizeOfImage() const { return optionalField(pe::sizeOfImage); }
    uint32_t checksum() const { return optionalField(pe::checkSum); }
    uint16_t machine() const { return loadU16(headerBytes.data() + ntOffset + 4 + pe::machine); }
    uint16_t characteristics() const { return loadU16(headerBytes.data() + ntOffset + 4 + pe::characteristics); }
    uint16_t subsystem() const { return loadU16(headerBytes.data() + optionalHeaderOffset() + pe::subsystem); }
    const std::vector<PeSection>& sections() const { return sectionList; }

    // How many data directories the optional header has room for.
    uint32_t dataDirectoryCount() const { return optionalField(pe::numberOfRvaAndSizes); }
    // The directory, or zeros when the header has no such entry.
    DataDirectory dataDirectory(uint32_t index) const;

    // End of the last section's raw data (at least the headers' end).
    uint64_t endOfSectionData() const;
    // The size the headers describe: the end of the section data, or of the certificate table
    // where that lies further.
    uint64_t declaredSize() const;
    // True when the file ends before declaredSize() (only with Cut::Allowed).
    bool truncated() const { return fileSize() < declaredSize(); }
    // Bytes past the last section: a certificate table, a symbol table or anything appended.
    uint64_t trailingDataSize() const { return fileSize() - endOfSectionData(); }
    bool hasCertificateTable() const { return dataDirectory(pe::securityDirectory).size != 0; }

    // The section whose address range holds `rva`, or null.
    const PeSection* sectionAt(uint32_t rva) const;
    // Offset in the file of `size` bytes at `rva`; throws unless they lie in one section's raw data.
    uint64_t fileOffsetOf(uint32_t rva, uint32_t size) const;

    // The resource tree, its data referring to regions of this file; empty when the image has no
    // resources. Throws a pack::Error when the resource directory is malformed. With `cut`, a
    // file cut short gives what lies before its end: tables and names past it are left out, and
    // data past it is listed in `cut` instead of the tree.
    ResourceTree resources(std::vector<CutResource>* cut = nullptr) const;

private:
    explicit PeImage(std::shared_ptr<const SourceFile> file) : source(std::move(file)) {}
    void readHeaders(Cut cut);

    std::shared_ptr<const SourceFile> source;
    std::vector<char> headerBytes;
    uint32_t ntOffset = 0;
    uint32_t optionalSize = 0;
    std::vector<PeSection> sectionList;
};

} // namespace pack
