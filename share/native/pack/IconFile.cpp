#include "IconFile.h"

#include <cstring>
#include <stdexcept>

#include "ErrorHandling.h"
#include "PackIo.h"

namespace pack {

namespace {

constexpr size_t headerSize = 6;
constexpr size_t fileEntrySize = 16;
constexpr WORD iconType = 1;
constexpr WORD cursorType = 2;
constexpr uint32_t bitmapInfoHeaderSize = 40;

[[noreturn]] void throwInvalid(const tstring& name, const tstrings::MessageBuilder& reason,
                               const SourceLocation& location = std::source_location::current()) {
    throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
        << "[" << name << "] is not a valid icon file: " << reason.str()).utf8()), location);
}

bool isPng(const char* data, size_t size) {
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1A', '\n'};
    return size >= sizeof signature && std::memcmp(data, signature, sizeof signature) == 0;
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

IconFile IconFile::read(const tstring& path) {
    const std::shared_ptr<const SourceFile> file = SourceFile::open(path);
    return parse(DataBlock(file, 0, file->size()).load(), path);
}

IconFile IconFile::parse(const std::vector<char>& bytes, const tstring& name) {
    if (bytes.size() < headerSize) {
        throwInvalid(name, tstrings::MessageBuilder() << "it has only " << bytes.size() << " bytes");
    }
    const WORD reserved = loadU16(bytes.data());
    const WORD type = loadU16(bytes.data() + 2);
    const WORD count = loadU16(bytes.data() + 4);
    if (reserved != 0 || type != iconType) {
        throwInvalid(name, tstrings::MessageBuilder() << (type == cursorType && reserved == 0 ? "it is a cursor" : "its header is wrong"));
    }
    if (count == 0) {
        throwInvalid(name, tstrings::MessageBuilder() << "it holds no image");
    }
    const size_t entriesEnd = headerSize + fileEntrySize * count;
    if (bytes.size() < entriesEnd) {
        throwInvalid(name, tstrings::MessageBuilder() << "it is cut short in its directory of " << count << " images");
    }
    IconFile icon;
    icon.group.assign(bytes.begin(), bytes.begin() + headerSize);
    for (WORD i = 0; i < count; ++i) {
        const char* entry = bytes.data() + headerSize + fileEntrySize * i;
        const uint32_t size = loadU32(entry + 8);
        const uint32_t offset = loadU32(entry + 12);
        if (size == 0 || offset < entriesEnd || offset > bytes.size() || size > bytes.size() - offset) {
            throwInvalid(name, tstrings::MessageBuilder() << "image " << (i + 1) << " (" << size << " bytes at offset " << offset
                                                          << ") lies outside the file of " << bytes.size() << " bytes");
        }
        const char* image = bytes.data() + offset;
        if (!isPng(image, size) && !isDib(image, size)) {
            throwInvalid(name, tstrings::MessageBuilder() << "image " << (i + 1) << " is neither a PNG nor a bitmap");
        }
        icon.imageData.emplace_back(image, image + size);
        // The group entry is the file entry with the image offset replaced by a 16-bit id.
        icon.group.insert(icon.group.end(), entry, entry + 12);
        appendU16(icon.group, static_cast<uint16_t>(i + 1));
    }
    return icon;
}

void IconFile::addTo(ResourceTree& tree, WORD language) const {
    tree.removeType(ResourceTypes::icon);
    tree.removeType(ResourceTypes::groupIcon);
    for (size_t i = 0; i < imageData.size(); ++i) {
        tree.put(ResourceTypes::icon, static_cast<WORD>(i + 1), language, DataBlock(imageData[i]));
    }
    tree.put(ResourceTypes::groupIcon, 1, language, DataBlock(group));
}

} // namespace pack
