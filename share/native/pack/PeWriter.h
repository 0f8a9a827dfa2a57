// Writes a copy of a PE image with a new resource section, in one pass over the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PackIo.h"
#include "PeImage.h"
#include "ResourceTree.h"

namespace pack {

// The image checksum of the PE format (what the system's MapFileAndCheckSum computes): the
// file's 16-bit little-endian words added with end-around carry, plus the file length. Pieces
// may be added in any order and cut anywhere. Words are summed 32 bits at a time and folded at
// the end, which gives the same value: 2^16 is 1 modulo 0xFFFF.
class PeChecksum {
public:
    // Adds bytes found at `offset` of the file.
    void add(uint64_t offset, const char* data, size_t size);
    uint32_t finish(uint64_t fileSize) const;

private:
    uint64_t sum = 0;
};

// What writeImage produced.
struct ImageLayout {
    // True when a section was added after the last one, false when the stub's resource section,
    // being the last one, was rewritten in place.
    bool appendedSection = false;
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    uint64_t resourceFileOffset = 0;
    uint64_t fileSize = 0;
    uint32_t checksum = 0;
    // XXH64 of RCDATA MSI, when the package checksum was written.
    uint64_t packageChecksum = 0;
};

// Writes `stub` to `sink` with `resources` as its whole resource tree (callers start from
// stub.resources() to keep the stub's own). Alignments, code and data of the stub stay as they
// are; the section count, image size, initialized data size, resource directory and checksum
// are set for the new section. Every byte is written once, in order; the header's checksum
// (and the package checksum) are patched with writeAt at the end. With `packageChecksum`, the
// tree gains RCDATA MSI_CHECKSUM: the text of the XXH64 of RCDATA MSI, computed while the package
// streams through. Refuses, before writing anything, a stub that carries a certificate table or
// data after its last section, or that has no room for a section header.
ImageLayout writeImage(const PeImage& stub, const ResourceTree& resources, ByteSink& sink, bool packageChecksum = false);

} // namespace pack
