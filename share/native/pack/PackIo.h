// Read-only source files and the blocks of bytes that the packer writes: held in memory, or a
// region of a file streamed when written, so a package of hundreds of megabytes never sits in
// memory. Also the little-endian fields of the on-disk structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"

namespace pack {

// A file opened for reading, shared by the blocks that refer to parts of it.
class SourceFile {
public:
    // Throws a pack::Error naming the file when it cannot be opened.
    static std::shared_ptr<const SourceFile> open(const std::string& path);

    const std::string& path() const { return filePath; }
    uint64_t size() const { return fileSize; }
    const InputFile& input() const { return *file; }

    // Reads exactly `count` bytes at `offset`; throws when the file is shorter.
    void read(uint64_t offset, char* buffer, size_t count) const;
    // Hands the region to `consumer` in pieces of at most `chunkSize` bytes, read one after the
    // other into a single buffer, so memory use stays flat whatever the size.
    void visit(uint64_t offset, uint64_t count, const ChunkConsumer& consumer) const;

    // Under Wine every read and write is a round trip to the Wine server, so fewer, larger pieces
    // pack faster there; on Linux the package itself is copied by the kernel.
    static constexpr size_t chunkSize = size_t{4} << 20;

private:
    SourceFile(std::string path, std::unique_ptr<InputFile> file);

    std::string filePath;
    std::unique_ptr<InputFile> file;
    uint64_t fileSize;
};

// Bytes to write: held in memory or a region of a source file. Copies share the bytes.
class DataBlock {
public:
    DataBlock() = default;
    explicit DataBlock(std::vector<char> bytes);
    explicit DataBlock(const std::string& bytes) : DataBlock(std::vector<char>(bytes.begin(), bytes.end())) {}
    // Throws when the region does not lie inside the file.
    DataBlock(std::shared_ptr<const SourceFile> file, uint64_t offset, uint64_t size);
    static DataBlock zeros(size_t count) { return DataBlock(std::vector<char>(count, 0)); }

    uint64_t size() const { return length; }
    // The file the bytes come from; null for bytes in memory.
    const SourceFile* sourceFile() const { return file.get(); }
    uint64_t sourceOffset() const { return offset; }

    void visit(const ChunkConsumer& consumer) const;
    // Appends the bytes to `sink`, copied by the system where the sink can; `written` sees them
    // as they were written.
    void writeTo(ByteSink& sink, const ChunkConsumer& written = nullptr) const;
    // A copy in memory; meant for small blocks.
    std::vector<char> load() const;
    std::string text() const;

private:
    std::shared_ptr<const std::vector<char>> bytes;
    std::shared_ptr<const SourceFile> file;
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Little-endian fields of the on-disk structures.
inline uint16_t loadU16(const char* p) {
    return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8);
}
inline uint32_t loadU32(const char* p) { return loadU16(p) | static_cast<uint32_t>(loadU16(p + 2)) << 16; }
inline void storeU16(char* p, uint16_t value) {
    p[0] = static_cast<char>(value & 0xFF);
    p[1] = static_cast<char>(value >> 8);
}
inline void storeU32(char* p, uint32_t value) {
    storeU16(p, static_cast<uint16_t>(value & 0xFFFF));
    storeU16(p + 2, static_cast<uint16_t>(value >> 16));
}
inline void appendU16(std::vector<char>& out, uint16_t value) {
    out.resize(out.size() + 2);
    storeU16(out.data() + out.size() - 2, value);
}
inline void appendU32(std::vector<char>& out, uint32_t value) {
    out.resize(out.size() + 4);
    storeU32(out.data() + out.size() - 4, value);
}
inline void appendUtf16(std::vector<char>& out, std::u16string_view text) {
    for (const char16_t c : text) {
        appendU16(out, static_cast<uint16_t>(c));
    }
}
inline uint64_t alignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

} // namespace pack
