#include <cstring>

#include "IconFile.h"
#include "PackTestSupport.h"

using namespace pack;

namespace {

// A 32-bit colour image with its mask, as stored in .ico files.
std::string dibImage(uint32_t size, char shade) {
    std::vector<char> bytes;
    const uint32_t maskRow = (size + 31) / 32 * 4;
    appendU32(bytes, 40);
    appendU32(bytes, size);
    appendU32(bytes, 2 * size);
    appendU16(bytes, 1);
    appendU16(bytes, 32);
    appendU32(bytes, 0);
    appendU32(bytes, size * size * 4 + maskRow * size);
    for (int i = 0; i < 4; ++i) {
        appendU32(bytes, 0);
    }
    bytes.insert(bytes.end(), size_t{size} * size * 4, shade);
    bytes.insert(bytes.end(), size_t{maskRow} * size, '\0');
    return std::string(bytes.begin(), bytes.end());
}

std::string icoFile(const std::vector<std::pair<uint32_t, std::string>>& images) {
    std::vector<char> bytes;
    appendU16(bytes, 0);
    appendU16(bytes, 1);
    appendU16(bytes, static_cast<uint16_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const auto& [size, image] : images) {
        bytes.push_back(static_cast<char>(size & 0xFF));
        bytes.push_back(static_cast<char>(size & 0xFF));
        bytes.push_back(0);
        bytes.push_back(0);
        appendU16(bytes, 1);
        appendU16(bytes, 32);
        appendU32(bytes, static_cast<uint32_t>(image.size()));
        appendU32(bytes, offset);
        offset += static_cast<uint32_t>(image.size());
    }
    std::string file(bytes.begin(), bytes.end());
    for (const auto& image : images) {
        file += image.second;
    }
    return file;
}

// A PNG's signature and image header (IHDR), as an icon entry starts; the rest is not read.
std::string pngImage(uint32_t width, uint32_t height) {
    std::string bytes = "\x89PNG\r\n\x1A\n";
    const auto bigEndian = [&](uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes += static_cast<char>(value >> shift & 0xFF);
        }
    };
    bigEndian(13);
    bytes += "IHDR";
    bigEndian(width);
    bigEndian(height);
    bytes += std::string("\x08\x06\x00\x00\x00", 5);
    bigEndian(0x12345678); // the CRC, not checked
    return bytes + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
}

const std::string small = dibImage(16, '\x40');
const std::string large = dibImage(32, '\x7F');
const std::string twoSizes = icoFile({{16, small}, {32, large}});

class IconFileTest : public PackTempDirTest {};

} // namespace

TEST_F(IconFileTest, ImagesBecomeIconsOneToNAndTheGroupReplacesTheStubIcons) {
    writeBytes(pathOf("app.ico"), twoSizes);
    ResourceTree tree;
    tree.put(ResourceTypes::groupIcon, u"MAINICON", 0, blockOf("stub group"));
    tree.put(ResourceTypes::icon, 7, 0, blockOf("stub image"));
    tree.put(ResourceTypes::rcData, u"KEPT", 0, blockOf("other"));
    IconFile::read(pathOf("app.ico")).addTo(tree, 0x409);
    EXPECT_EQ(4u, tree.count());
    EXPECT_TRUE(tree.find(ResourceTypes::icon, 1, 0x409)->text() == small);
    EXPECT_TRUE(tree.find(ResourceTypes::icon, 2, 0x409)->text() == large);
    // The group: the file's header, then each entry with the image's id instead of its offset.
    const std::string group = tree.find(ResourceTypes::groupIcon, 1, 0x409)->text();
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(twoSizes.substr(0, 6 + 12), group.substr(0, 6 + 12));
    EXPECT_EQ(1, loadU16(group.data() + 6 + 12));
    EXPECT_EQ(twoSizes.substr(6 + 16, 12), group.substr(6 + 14, 12));
    EXPECT_EQ(2, loadU16(group.data() + 6 + 14 + 12));
    EXPECT_FALSE(tree.contains(ResourceTypes::groupIcon, u"MAINICON"));
    EXPECT_FALSE(tree.contains(ResourceTypes::icon, 7));
    EXPECT_EQ("Cannot read " + pathOf("missing.ico") + ": it does not exist",
              refusalOf([&] { IconFile::read(pathOf("missing.ico")); }));
}

TEST(IconFile, RefusesMalformedFilesNamingTheFault) {
    std::string cursor = twoSizes;
    cursor[2] = 2;
    std::string overlapping = twoSizes;
    storeU32(overlapping.data() + 6 + 12, 4);
    std::string notAnImage = twoSizes;
    std::memset(notAnImage.data() + 6 + 32, 'x', 8);
    std::string tooLong = twoSizes;
    storeU32(tooLong.data() + 6 + 16 + 8, static_cast<uint32_t>(large.size() + 1));
    const struct {
        const char* label;
        std::string bytes;
        const char* expected;
    } cases[] = {
        {"header only", twoSizes.substr(0, 4), "it has only 4 bytes"},
        {"cursor", cursor, "it is a cursor"},
        {"no images", icoFile({}), "it holds no image"},
        {"cut in the directory", twoSizes.substr(0, 30), "it is cut short in its directory of 2 images"},
        {"truncated image", twoSizes.substr(0, twoSizes.size() - 10), "image 2 ("},
        {"image in the directory", overlapping, "image 1 (" },
        {"image past the end", tooLong, "image 2 ("},
        {"not an image", notAnImage, "image 1 is neither a PNG nor a bitmap"},
    };
    for (const auto& c : cases) {
        const std::string message = refusalOf([&] { IconFile::parse(std::vector<char>(c.bytes.begin(), c.bytes.end()), "bad.ico"); });
        EXPECT_EQ(0u, message.find("[bad.ico] is not a valid icon file: ")) << c.label << ": " << message;
        EXPECT_NE(std::string::npos, message.find(c.expected)) << c.label << ": " << message;
    }
}

TEST(IconFile, PngImagesMustHaveTheSizeTheirEntrySays) {
    const auto parse = [](const std::string& bytes) {
        return refusalOf([&] { IconFile::parse(std::vector<char>(bytes.begin(), bytes.end()), "png.ico"); });
    };
    // 0 in the directory stands for 256; DIB and PNG images may be mixed.
    EXPECT_EQ("accepted", parse(icoFile({{0, pngImage(256, 256)}, {16, small}, {48, pngImage(48, 48)}})));
    std::string wide = icoFile({{32, pngImage(32, 32)}});
    wide[7] = 16; // the entry says 32x16
    const struct {
        const char* label;
        std::string bytes;
        const char* expected;
    } cases[] = {
        {"wider than its entry", icoFile({{32, pngImage(64, 32)}}), "image 1: its PNG data is 64x32 pixels, but the directory says 32x32"},
        {"taller than its entry", icoFile({{16, small}, {0, pngImage(256, 255)}}), "image 2: its PNG data is 256x255 pixels, but the directory says 256x256"},
        {"entry of another height", wide, "image 1: its PNG data is 32x32 pixels, but the directory says 32x16"},
        {"signature only", icoFile({{16, pngImage(16, 16).substr(0, 8)}}), "image 1: its PNG data has no image header (IHDR) after the signature"},
        {"header cut short", icoFile({{16, pngImage(16, 16).substr(0, 30)}}), "image 1: its PNG data has no image header (IHDR) after the signature"},
        {"another chunk first", icoFile({{16, [] { std::string png = pngImage(16, 16); png.replace(12, 4, "gAMA"); return png; }()}}),
         "image 1: its PNG data has no image header (IHDR) after the signature"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ("[png.ico] is not a valid icon file: " + std::string(c.expected), parse(c.bytes)) << c.label;
    }
}
