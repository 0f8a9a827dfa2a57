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
    const char png[] = "\x89PNG\r\n\x1A\n and the rest";
    const std::string pngIcon = icoFile({{0, std::string(png, sizeof png - 1)}});
    EXPECT_EQ(1u, IconFile::parse(std::vector<char>(pngIcon.begin(), pngIcon.end()), "png.ico").images().size());
}
