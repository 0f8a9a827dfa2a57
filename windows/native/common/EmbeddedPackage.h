// The installer package a launcher carries: RCDATA MSI, and its checksum in RCDATA MSI_CHECKSUM
// when the packer stored one.
#pragma once

#include <cstdint>
#include <optional>

#include "WinHeaders.h"
#include "tstrings.h"

class EmbeddedPackage {
public:
    // `module` is the launcher's image, loaded as a program or as an image resource, and
    // `modulePath` the file it was loaded from, from which the package's bytes are read. Throws
    // when MSI is missing, and when MSI_CHECKSUM is present but malformed.
    EmbeddedPackage(HMODULE module, const tstring& modulePath);

    // Writes the package to `path` through a StagedFileWriter. The launcher's file is read in
    // pieces into one small buffer, never mapped whole, and each piece is hashed right before it
    // is written, so the check costs no second pass. Where the file cannot be opened (renamed
    // since the start, or not readable), the bytes come from the loaded image instead. `path`
    // appears only complete and checked:
    // on a checksum mismatch, or a file that ends before the package does, it throws and leaves
    // nothing behind. Without a stored checksum the package is written unchecked, with a WARNING.
    void saveToFile(const tstring& path) const;

    std::uint64_t size() const { return byteCount; }
    const std::optional<std::uint64_t>& checksum() const { return expected; }

private:
    tstring modulePath;
    const BYTE* mapped = nullptr;
    std::uint64_t fileOffset = 0;
    std::uint64_t byteCount = 0;
    std::optional<std::uint64_t> expected;
};
