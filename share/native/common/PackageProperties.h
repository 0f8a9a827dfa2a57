// Rows of an installer package's Property table, read straight from the package's bytes: the
// compound file's header, the few FAT, DIFAT, directory and mini FAT sectors on the way to four
// streams (_StringPool, _StringData, _Columns, Property), and the parts of _StringData that the
// rows name. The cost follows the number of streams and strings, not the package's size, and no
// system call is made: the caller supplies the bytes. Both packers use it, so that they read the
// same Property values from the same package whatever the system's installer library does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace PackageProperties {

// Random access to the package's bytes; read() returns false when the range cannot be read (it
// lies past the end, or the medium fails), and its bytes are then not to be used.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    virtual bool read(std::uint64_t offset, void* into, std::size_t count) const = 0;
};

// Bytes in memory, which the caller keeps alive as long as the source.
class MemorySource : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::uint64_t size) : data(data), length(size) {}
    std::uint64_t size() const override { return length; }
    bool read(std::uint64_t offset, void* into, std::size_t count) const override;

private:
    const std::uint8_t* data;
    std::uint64_t length;
};

struct Properties {
    // The database's codepage: 0 (neutral), 1252, 65001 (UTF-8)...
    std::uint32_t codepage = 0;
    // Property -> Value, the bytes exactly as stored (in that codepage); a null value reads as empty.
    std::map<std::string, std::string> values;
};

// Reads the rows of the Property table whose names are in `names` (every row when `names` is
// empty); a database without a Property table has none. nullopt when the bytes are not a
// well-formed installer database, with the reason in *why when given. Whatever the bytes are, it
// never reads outside the source, reads no byte of it more than once or twice, and stops.
std::optional<Properties> read(const ByteSource& package, const std::vector<std::string>& names = {},
                               std::string* why = nullptr);

} // namespace PackageProperties
