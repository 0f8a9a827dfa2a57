// Reads the headers and the resource tree of a 64-bit PE file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PackIo.h"
#include "ResourceTree.h"
#include "WinHeaders.h"

namespace pack {

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

// An open PE32+ file whose headers have been checked. The file stays open while the image or a
// block read from it lives; resource data is read from it only when written.
class PeImage {
public:
    // Throws a TervoError naming the file when it is not a well-formed 64-bit PE file.
    static PeImage open(const tstring& path);

    const tstring& path() const { return source->path(); }
    const std::shared_ptr<const SourceFile>& file() const { return source; }
    uint64_t fileSize() const { return source->size(); }

    // The first SizeOfHeaders bytes, as in the file.
    const std::vector<char>& headers() const { return headerBytes; }
    uint32_t ntHeadersOffset() const { return ntOffset; }
    uint32_t optionalHeaderOffset() const { return ntOffset + 4 + IMAGE_SIZEOF_FILE_HEADER; }
    uint32_t sectionTableOffset() const;
    const IMAGE_OPTIONAL_HEADER64& optionalHeader() const { return optional; }
    uint32_t fileAlignment() const { return optional.FileAlignment; }
    uint32_t sectionAlignment() const { return optional.SectionAlignment; }
    uint32_t sizeOfHeaders() const { return optional.SizeOfHeaders; }
    const std::vector<PeSection>& sections() const { return sectionList; }

    // How many data directories the optional header has room for.
    uint32_t dataDirectoryCount() const { return optional.NumberOfRvaAndSizes; }
    // The directory, or zeros when the header has no such entry.
    IMAGE_DATA_DIRECTORY dataDirectory(uint32_t index) const;

    // End of the last section's raw data (at least the headers' end).
    uint64_t endOfSectionData() const;
    // Bytes past the last section: a certificate table, a symbol table or anything appended.
    uint64_t trailingDataSize() const { return fileSize() - endOfSectionData(); }
    bool hasCertificateTable() const { return dataDirectory(IMAGE_DIRECTORY_ENTRY_SECURITY).Size != 0; }

    // The section whose address range holds `rva`, or null.
    const PeSection* sectionAt(uint32_t rva) const;
    // Offset in the file of `size` bytes at `rva`; throws unless they lie in one section's raw data.
    uint64_t fileOffsetOf(uint32_t rva, uint32_t size) const;

    // The resource tree, its data referring to regions of this file; empty when the image has no
    // resources. Throws a TervoError when the resource directory is malformed.
    ResourceTree resources() const;

private:
    explicit PeImage(std::shared_ptr<const SourceFile> file) : source(std::move(file)) {}
    void readHeaders();

    std::shared_ptr<const SourceFile> source;
    std::vector<char> headerBytes;
    uint32_t ntOffset = 0;
    IMAGE_FILE_HEADER fileHeader{};
    IMAGE_OPTIONAL_HEADER64 optional{};
    std::vector<PeSection> sectionList;
};

} // namespace pack
