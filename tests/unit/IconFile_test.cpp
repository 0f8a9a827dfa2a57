#include <cstring>

#include "IconFile.h"
#include "PackTestSupport.h"
#include "UniqueHandle.h"

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

std::string resourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) {
        return {};
    }
    return std::string(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
}

class IconFileTest : public TempDirTest {};

} // namespace

TEST_F(IconFileTest, PackedIconGroupIsUsableAndReplacesTheStubIcons) {
    writeFile(pathOf(L"app.ico"), twoSizes);
    ResourceTree tree;
    tree.put(ResourceTypes::groupIcon, L"MAINICON", 0, blockOf("stub group"));
    tree.put(ResourceTypes::icon, 7, 0, blockOf("stub image"));
    IconFile::read(pathOf(L"app.ico")).addTo(tree);
    EXPECT_EQ(3u, tree.count());
    packFile(packStubPath(), pathOf(L"setup.exe"), tree);

    UniqueModule module(LoadLibraryExW(pathOf(L"setup.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << describeWinError(GetLastError());
    std::string group = resourceBytes(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(2, LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR));
    EXPECT_EQ(1, LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, 16, 16, LR_DEFAULTCOLOR));
    for (const auto& [id, expected] : {std::pair<WORD, std::string>{1, small}, {2, large}}) {
        std::string image = resourceBytes(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
        EXPECT_TRUE(image == expected) << id;
        HICON handle = CreateIconFromResourceEx(reinterpret_cast<PBYTE>(image.data()), static_cast<DWORD>(image.size()), TRUE,
                                                0x00030000, 0, 0, LR_DEFAULTCOLOR);
        EXPECT_NE(nullptr, handle) << id << ": " << describeWinError(GetLastError());
        if (handle) {
            DestroyIcon(handle);
        }
    }
    EXPECT_EQ(nullptr, FindResourceW(module.get(), L"MAINICON", MAKEINTRESOURCEW(14)));
    EXPECT_EQ(nullptr, FindResourceW(module.get(), MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(3)));
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
        try {
            IconFile::parse(std::vector<char>(c.bytes.begin(), c.bytes.end()), L"bad.ico");
            ADD_FAILURE() << "accepted: " << c.label;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(nullptr, std::strstr(e.what(), "[bad.ico] is not a valid icon file")) << c.label << ": " << e.what();
            EXPECT_NE(nullptr, std::strstr(e.what(), c.expected)) << c.label << ": " << e.what();
        }
    }
    const char png[] = "\x89PNG\r\n\x1A\n and the rest";
    const std::string pngIcon = icoFile({{0, std::string(png, sizeof png - 1)}});
    EXPECT_EQ(1u, IconFile::parse(std::vector<char>(pngIcon.begin(), pngIcon.end()), L"png.ico").images().size());
}
