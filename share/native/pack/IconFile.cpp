#include "IconFile.h"

#include <cstring>

#include "PackError.h"
#include "PackIo.h"

namespace pack {

namespace {

constexpr size_t headerSize = 6;
constexpr size_t fileEntrySize = 16;
constexpr uint16_t iconType = 1;
constexpr uint16_t cursorType = 2;
constexpr uint32_t bitmapInfoHeaderSize = 40;

[[noreturn]] void throwInvalid(const std::string& name, const std::string& reason,
                               const std::source_location& location = std::source_location::current()) {
    throw Error("[" + name + "] is not a valid icon file: " + reason, location);
}

bool isPng(const char* data, size_t size) {
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1A', '\n'};
    return size >= sizeof signature && std::memcmp(data, signature, sizeof signature) == 0;
}

uint32_t loadBigEndianU32(const char* p) {
    return uint32_t{static_cast<uint8_t>(p[0])} << 24 | uint32_t{static_cast<uint8_t>(p[1])} << 16 |
           uint32_t{static_cast<uint8_t>(p[2])} << 8 | static_cast<uint8_t>(p[3]);
}

// Why a PNG image does not fit its directory entry, or empty: its first chunk must be a whole
// IHDR whose width and height are the entry's (where 0 stands for 256).
std::string pngProblem(const char* image, size_t size, const char* entry) {
    constexpr size_t signatureSize = 8;
    constexpr size_t headerChunkSize = 8 + 13 + 4; // length and type, data, CRC
    if (size < signatureSize + headerChunkSize || loadBigEndianU32(image + signatureSize) != 13 ||
        std::memcmp(image + signatureSize + 4, "IHDR", 4) != 0) {
        return "its PNG data has no image header (IHDR) after the signature";
    }
    const uint32_t width = loadBigEndianU32(image + signatureSize + 8);
    const uint32_t height = loadBigEndianU32(image + signatureSize + 12);
    const uint32_t entryWidth = static_cast<uint8_t>(entry[0]) == 0 ? 256 : static_cast<uint8_t>(entry[0]);
    const uint32_t entryHeight = static_cast<uint8_t>(entry[1]) == 0 ? 256 : static_cast<uint8_t>(entry[1]);
    if (width != entryWidth || height != entryHeight) {
        return "its PNG data is " + std::to_string(width) + "x" + std::to_string(height) + " pixels, but the directory says " +
               std::to_string(entryWidth) + "x" + std::to_string(entryHeight);
    }
    return "";
}

// A DIB starts with its BITMAPINFOHEADER (or a later, longer version of it).
bool isDib(const char* data, size_t size) {
    if (size < bitmapInfoHeaderSize) {
        return false;
    }
    const uint32_t headerLength = loadU32(data);
    return headerLength >= bitmapInfoHeaderSize && headerLength <= size;
}

} // namespace

IconFile IconFile::read(const std::string& path) {
    const std::shared_ptr<const SourceFile> file = SourceFile::open(path);
    return parse(DataBlock(file, 0, file->size()).load(), path);
}

IconFile IconFile::parse(const std::vector<char>& bytes, const std::string& name) {
    if (bytes.size() < headerSize) {
        throwInvalid(name, "it has only " + std::to_string(bytes.size()) + " bytes");
    }
    const uint16_t reserved = loadU16(bytes.data());
    const uint16_t type = loadU16(bytes.data() + 2);
    const uint16_t count = loadU16(bytes.data() + 4);
    if (reserved != 0 || type != iconType) {
        throwInvalid(name, type == cursorType && reserved == 0 ? "it is a cursor" : "its header is wrong");
    }
    if (count == 0) {
        throwInvalid(name, "it holds no image");
    }
    const size_t entriesEnd = headerSize + fileEntrySize * count;
    if (bytes.size() < entriesEnd) {
        throwInvalid(name, "it is cut short in its directory of " + std::to_string(count) + " images");
    }
    IconFile icon;
    icon.group.assign(bytes.begin(), bytes.begin() + headerSize);
    for (uint16_t i = 0; i < count; ++i) {
        const char* entry = bytes.data() + headerSize + fileEntrySize * i;
        const uint32_t size = loadU32(entry + 8);
        const uint32_t offset = loadU32(entry + 12);
        if (size == 0 || offset < entriesEnd || offset > bytes.size() || size > bytes.size() - offset) {
            throwInvalid(name, "image " + std::to_string(i + 1) + " (" + std::to_string(size) + " bytes at offset " +
                                   std::to_string(offset) + ") lies outside the file of " + std::to_string(bytes.size()) + " bytes");
        }
        const char* image = bytes.data() + offset;
        if (!isPng(image, size) && !isDib(image, size)) {
            throwInvalid(name, "image " + std::to_string(i + 1) + " is neither a PNG nor a bitmap");
        }
        if (isPng(image, size)) {
            const std::string problem = pngProblem(image, size, entry);
            if (!problem.empty()) {
                throwInvalid(name, "image " + std::to_string(i + 1) + ": " + problem);
            }
        }
        icon.imageData.emplace_back(image, image + size);
        // The group entry is the file entry with the image offset replaced by a 16-bit id.
        icon.group.insert(icon.group.end(), entry, entry + 12);
        appendU16(icon.group, static_cast<uint16_t>(i + 1));
    }
    return icon;
}

void IconFile::addTo(ResourceTree& tree, uint16_t language) const {
    tree.removeType(ResourceTypes::icon);
    tree.removeType(ResourceTypes::groupIcon);
    for (size_t i = 0; i < imageData.size(); ++i) {
        tree.put(ResourceTypes::icon, static_cast<uint16_t>(i + 1), language, DataBlock(imageData[i]));
    }
    tree.put(ResourceTypes::groupIcon, 1, language, DataBlock(group));
}

} // namespace pack
