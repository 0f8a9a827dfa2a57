// Writes a copy of a PE image with a new resource section.
#pragma once

#include <cstdint>

#include "PackIo.h"
#include "PeImage.h"
#include "ResourceTree.h"

namespace pack {

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
};

// Writes `stub` to `sink` with `resources` as its whole resource tree (callers start from
// stub.resources() to keep the stub's own). Alignments, code and data of the stub stay as they
// are; the section count, image size, initialized data size, resource directory and checksum
// are set for the new section. Refuses, before writing anything, a stub that carries a
// certificate table or data after its last section, or that has no room for a section header.
ImageLayout writeImage(const PeImage& stub, const ResourceTree& resources, ByteSink& sink);

} // namespace pack
