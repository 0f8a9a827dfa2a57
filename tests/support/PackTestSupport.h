// Helpers shared by the tests of the packer, on Linux and on Windows: UTF-8 paths, a fixture
// with its own temporary folder, files, and images packed from the stand-in stubs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "PeImage.h"
#include "PeWriter.h"
#include "Platform.h"
#include "ResourceTree.h"

inline std::filesystem::path fsPath(const std::string& utf8) { return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())); }

inline std::string readBytes(const std::string& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

// The names in a folder, sorted.
inline std::vector<std::string> folderNames(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(fsPath(path))) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The stand-in launcher stubs of the cross build: one laid out like the launcher, one with the
// file alignment 512.
inline std::string packStubPath() { return pack::platform::absolutePath(TERVO_PACK_STUB_DIR "/PackStub.exe"); }
inline std::string unalignedPackStubPath() { return pack::platform::absolutePath(TERVO_PACK_STUB_DIR "/PackStubUnaligned.exe"); }

// A fixture that owns a fresh folder, removed with everything in it after the test.
class PackTempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string unique = std::to_string(std::random_device{}()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::filesystem::path path = std::filesystem::temp_directory_path() / ("tervo-pack-" + unique);
        std::filesystem::create_directories(path);
        const std::u8string text = path.u8string();
        dir = pack::platform::absolutePath(std::string(text.begin(), text.end()));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(fsPath(dir), ignored);
    }
    std::string pathOf(const std::string& name) const { return pack::platform::joinPath(dir, name); }

    std::string dir;
};

// Incompressible bytes, the same for the same seed.
inline std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 engine(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(engine() & 0xFF);
    }
    return bytes;
}

inline pack::DataBlock blockOf(const std::string& bytes) { return pack::DataBlock(bytes); }

inline const std::string testProductCode = "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}";

// What a launcher carries: a package and a product code.
inline pack::ResourceTree launcherResources(const std::string& package, const std::string& code = testProductCode) {
    pack::ResourceTree tree;
    tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::package, 0, blockOf(package));
    tree.replace(pack::ResourceTypes::rcData, pack::ResourceNames::productCode, 0, blockOf(code));
    return tree;
}

// Collects everything written.
class MemorySink : public pack::ByteSink {
public:
    void write(const char* data, size_t size) override { bytes.append(data, size); }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        ASSERT_LE(offset + size, bytes.size());
        bytes.replace(static_cast<size_t>(offset), size, data, size);
    }
    std::string bytes;
};

// Writes `stub` into `output` with `additions` replacing the stub's resources of the same type and name.
inline pack::ImageLayout packFile(const std::string& stub, const std::string& output, const pack::ResourceTree& additions,
                                  bool packageChecksum = false) {
    const pack::PeImage image = pack::PeImage::open(stub);
    pack::ResourceTree tree = image.resources();
    tree.replaceFrom(additions);
    const auto out = pack::platform::createStagedOutput(output);
    const pack::ImageLayout layout = pack::writeImage(image, tree, *out, packageChecksum);
    out->commit();
    return layout;
}

// The message of what `action` throws, or "accepted".
template <class Action>
std::string refusalOf(Action action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}
