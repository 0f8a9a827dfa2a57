#include <cstring>

#include "PackIo.h"
#include "PackTestSupport.h"

using namespace pack;

namespace {

class PackIoTest : public TempDirTest {};

} // namespace

TEST_F(PackIoTest, RegionsStreamExactlyInBoundedPieces) {
    const size_t chunk = SourceFile::chunkSize;
    const std::string content = randomBytes(2 * chunk + 100, 7);
    writeFile(pathOf(L"data.bin"), content);
    const auto file = SourceFile::open(pathOf(L"data.bin"));
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
    writeFile(pathOf(L"small.bin"), "0123456789");
    const auto file = SourceFile::open(pathOf(L"small.bin"));
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

TEST_F(PackIoTest, ReportsAMissingFileAndAFailedWrite) {
    try {
        SourceFile::open(pathOf(L"missing.bin"));
        ADD_FAILURE() << "opened a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(nullptr, std::strstr(e.what(), "CreateFile(")) << e.what();
        EXPECT_NE(nullptr, std::strstr(e.what(), "missing.bin")) << e.what();
    }
    std::ofstream closed;
    StreamSink sink(closed);
    EXPECT_THROW(sink.write("x", 1), std::runtime_error);
}
