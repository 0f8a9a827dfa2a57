#include <cstring>

#include "PackIo.h"
#include "PackTestSupport.h"

using namespace pack;

namespace {

class PackIoTest : public PackTempDirTest {};

} // namespace

TEST_F(PackIoTest, RegionsStreamExactlyInBoundedPieces) {
    const size_t chunk = SourceFile::chunkSize;
    const std::string content = randomBytes(2 * chunk + 100, 7);
    writeBytes(pathOf("data.bin"), content);
    const auto file = SourceFile::open(pathOf("data.bin"));
    EXPECT_EQ(content.size(), file->size());

    const struct {
        uint64_t offset;
        uint64_t size;
    } regions[] = {{0, 0}, {0, 1}, {5, chunk - 1}, {0, chunk}, {1, chunk + 1}, {0, content.size()}, {content.size(), 0}, {99, 2 * chunk}};
    for (const auto& r : regions) {
        const DataBlock block(file, r.offset, r.size);
        std::string seen;
        size_t pieces = 0;
        block.visit([&](const char* data, size_t size) {
            EXPECT_LE(size, chunk);
            EXPECT_GT(size, 0u);
            seen.append(data, size);
            ++pieces;
        });
        EXPECT_EQ((r.size + chunk - 1) / chunk, pieces) << r.offset << "+" << r.size;
        EXPECT_TRUE(seen == content.substr(static_cast<size_t>(r.offset), static_cast<size_t>(r.size))) << r.offset << "+" << r.size;
    }
}

TEST_F(PackIoTest, RefusesRegionsAndReadsBeyondTheFile) {
    writeBytes(pathOf("small.bin"), "0123456789");
    const auto file = SourceFile::open(pathOf("small.bin"));
    for (const auto& [offset, size] : {std::pair<uint64_t, uint64_t>{0, 11}, {10, 1}, {11, 0}, {~uint64_t{0}, 2}}) {
        try {
            (void)DataBlock(file, offset, size);
            ADD_FAILURE() << offset << "+" << size;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(nullptr, std::strstr(e.what(), "lie outside")) << e.what();
            EXPECT_NE(nullptr, std::strstr(e.what(), "small.bin")) << e.what();
        }
    }
    char buffer[4];
    EXPECT_THROW(file->read(8, buffer, 4), std::runtime_error);
    file->read(6, buffer, 4);
    EXPECT_EQ(0, std::memcmp(buffer, "6789", 4));
}

TEST_F(PackIoTest, ReportsFilesItCannotReadByTheirPathAndReason) {
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {{pathOf("missing.bin"), "it does not exist"}, {dir, "it is a directory"}};
    for (const auto& c : cases) {
        EXPECT_EQ("Cannot read " + c.path + ": " + c.reason, refusalOf([&] { SourceFile::open(c.path); }));
    }
}

TEST(PackIo, LittleEndianFieldsAndAlignment) {
    std::vector<char> bytes;
    appendU16(bytes, 0xBEEF);
    appendU32(bytes, 0x89ABCDEF);
    appendUtf16(bytes, u"Aä");
    EXPECT_EQ(std::string("\xEF\xBE\xEF\xCD\xAB\x89" "A\0\xE4\0", 10), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(0xCDEFBEEFu, loadU32(bytes.data()));
    EXPECT_EQ(0x89ABu, loadU16(bytes.data() + 4));
    for (const auto& [value, aligned] : {std::pair<uint64_t, uint64_t>{0, 0}, {1, 8}, {8, 8}, {9, 16}}) {
        EXPECT_EQ(aligned, alignUp(value, 8)) << value;
    }
}
