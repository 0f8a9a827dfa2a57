// Launchers built with their package and its checksum, opened as image resources. Damage is made
// in copies of their files: the image the test loads stays intact, the file it reads differs.
#include <algorithm>

#include "EmbeddedPackage.h"
#include "PackageChecksum.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"

namespace {

tstring launcher(const tstring& name) { return testProgramDir() + L"\\" + name; }

std::string damaged(const tstring& file, const std::string& reason) {
    const std::string name = tstrings::encodeUtf8(file.substr(file.rfind(L'\\') + 1));
    return "The installation package inside " + name + " is damaged (" + reason + "). Download " + name + " again.";
}

std::uint32_t le32(const std::string& bytes, size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

class EmbeddedPackageTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        package = readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI));
        ASSERT_LT(8192u, package.size());
        out = pathOf(L"out");
        ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    }

    // The launcher as the loader maps a program.
    static UniqueModule load(const tstring& path) {
        UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        EXPECT_TRUE(module) << tstrings::encodeUtf8(path) << ": " << describeWinError(GetLastError());
        return module;
    }

    // Where the package lies in a launcher's bytes, found by its content.
    size_t packageOffset(const std::string& file) const {
        const size_t at = file.find(package.substr(0, 1024));
        EXPECT_NE(std::string::npos, at);
        EXPECT_EQ(at, file.rfind(package.substr(0, 1024))) << "the package's start is not unique";
        return at;
    }

    std::string package;
    tstring out;
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

} // namespace

TEST_F(EmbeddedPackageTest, WritesThePackageWhenItsChecksumMatches) {
    const UniqueModule image = load(launcher(L"e2e-basic-setup.exe"));
    const EmbeddedPackage checked(image.get(), launcher(L"e2e-basic-setup.exe"));
    EXPECT_EQ(package.size(), checked.size());
    EXPECT_EQ(PackageChecksum::xxh64(package.data(), package.size()), checked.checksum());
    checked.saveToFile(out + L"\\main.msi");
    EXPECT_EQ(package, readFile(out + L"\\main.msi"));
    EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(out));
    const std::vector<tstring> traces = capture.messages(Severity::TRACE);
    const tstring verified = L"Package checksum " + tstrings::decodeUtf8(PackageChecksum::formatText(*checked.checksum())) +
                             L" verified";
    EXPECT_EQ(1, std::count(traces.begin(), traces.end(), verified));
    EXPECT_TRUE(capture.messages(Severity::WARNING).empty());
}

TEST_F(EmbeddedPackageTest, WithoutAChecksumThePackageIsWrittenUncheckedWithAWarning) {
    const tstring path = launcher(L"e2e-nochecksum-setup.exe");
    const UniqueModule image = load(path);
    const EmbeddedPackage unchecked(image.get(), path);
    EXPECT_FALSE(unchecked.checksum().has_value());
    unchecked.saveToFile(out + L"\\main.msi");
    EXPECT_EQ(package, readFile(out + L"\\main.msi"));
    EXPECT_EQ(std::vector<tstring>{L"No checksum stored for the package inside [" + path + L"]: it is written unchecked"},
              capture.messages(Severity::WARNING));
}

TEST_F(EmbeddedPackageTest, AFileThatDiffersFromItsImageLeavesNothing) {
    const tstring original = launcher(L"e2e-basic-setup.exe");
    const std::string bytes = readFile(original);
    const size_t start = packageOffset(bytes);
    const auto flipped = [&](size_t at) {
        std::string copy = bytes;
        copy[at] = static_cast<char>(copy[at] ^ 0x20);
        return copy;
    };
    const struct {
        const char* name;
        std::string file;
        std::string error;
    } cases[] = {
        {"first byte", flipped(start), "checksum mismatch"},
        {"middle byte", flipped(start + package.size() / 2), "checksum mismatch"},
        {"last byte", flipped(start + package.size() - 1), "checksum mismatch"},
        {"cut inside the package", bytes.substr(0, start + package.size() - 1), "truncated"},
        {"cut before the package", bytes.substr(0, start / 2), "truncated"},
    };
    const UniqueModule image = load(original);
    for (const auto& c : cases) {
        const tstring copy = pathOf(L"J\u00fcrgen's setup.exe");
        writeFile(copy, c.file);
        const EmbeddedPackage embedded(image.get(), copy);
        EXPECT_EQ(damaged(copy, c.error),
                  thrownPlainMessage([&] { embedded.saveToFile(out + L"\\main.msi"); }, "EmbeddedPackage::saveToFile"))
            << c.name;
        EXPECT_EQ(std::vector<tstring>{}, listDir(out)) << c.name;
    }
}

TEST_F(EmbeddedPackageTest, AChecksumResourceThatIsWrongOrMalformed) {
    const tstring wrong = launcher(L"e2e-wrongchecksum-setup.exe");
    const UniqueModule wrongImage = load(wrong);
    const EmbeddedPackage mismatched(wrongImage.get(), wrong);
    EXPECT_EQ(damaged(wrong, "checksum mismatch"),
              thrownPlainMessage([&] { mismatched.saveToFile(out + L"\\main.msi"); }, "EmbeddedPackage::saveToFile"));

    // Refused before anything is written.
    const tstring shortened = launcher(L"e2e-shortchecksum-setup.exe");
    const UniqueModule shortImage = load(shortened);
    EXPECT_EQ(damaged(shortened, "malformed checksum"),
              thrownPlainMessage([&] { EmbeddedPackage(shortImage.get(), shortened); },
                                 "EmbeddedPackage::EmbeddedPackage"));
    EXPECT_EQ(std::vector<tstring>{}, listDir(out));
}

TEST_F(EmbeddedPackageTest, PackageBeyondTheBytesItsSectionStores) {
    // The resource section's stored size cut inside the package: the loader fills the rest of the
    // section with zeros, which the file does not hold.
    std::string bytes = readFile(launcher(L"e2e-nochecksum-setup.exe"));
    const size_t start = packageOffset(bytes);
    const size_t headers = le32(bytes, 0x3c) + 4;
    const size_t sections = headers + 20 + (static_cast<unsigned char>(bytes[headers + 16]) | bytes[headers + 17] << 8);
    const size_t count = static_cast<unsigned char>(bytes[headers + 2]);
    bool cut = false;
    for (size_t s = sections; s < sections + 40 * count; s += 40) {
        const std::uint32_t raw = le32(bytes, s + 20);
        if (start >= raw && start < raw + le32(bytes, s + 16)) {
            const std::uint32_t stored = static_cast<std::uint32_t>((start - raw) / 4096 * 4096 + 4096);
            ASSERT_LT(raw + stored, start + package.size()) << "the package must reach past the cut";
            for (int i = 0; i < 4; ++i) {
                bytes[s + 16 + i] = static_cast<char>(stored >> (8 * i));
            }
            cut = true;
        }
    }
    ASSERT_TRUE(cut);
    const tstring copy = pathOf(L"setup.exe");
    writeFile(copy, bytes);
    const UniqueModule image = load(copy);
    EXPECT_EQ(damaged(copy, "truncated"),
              thrownPlainMessage([&] { EmbeddedPackage(image.get(), copy); }, "EmbeddedPackage::EmbeddedPackage"));
}

TEST_F(EmbeddedPackageTest, AFileThatCannotBeOpenedIsReadFromItsImageAndStillChecked) {
    // The launcher renamed since it started, or not readable: its image still holds the package.
    const tstring path = launcher(L"e2e-basic-setup.exe");
    const UniqueModule image = load(path);
    const tstring renamed = pathOf(L"renamed \u00e9.exe");
    EmbeddedPackage(image.get(), renamed).saveToFile(out + L"\\main.msi");
    EXPECT_TRUE(package == readFile(out + L"\\main.msi"));
    const std::vector<tstring> warnings = capture.messages(Severity::WARNING);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(L"CreateFile(" + renamed + L") failed with " + systemErrorText(ERROR_FILE_NOT_FOUND) +
                  L"; the package is read from the mapped image",
              warnings[0]);

    // An image whose package was damaged in its file before it was loaded.
    std::string bytes = readFile(path);
    bytes[packageOffset(bytes) + package.size() / 3] ^= 0x01;
    const tstring damagedCopy = pathOf(L"damaged.exe");
    writeFile(damagedCopy, bytes);
    const UniqueModule damagedImage = load(damagedCopy);
    ASSERT_TRUE(DeleteFileW((out + L"\\main.msi").c_str()));
    EXPECT_EQ(damaged(renamed, "checksum mismatch"),
              thrownPlainMessage([&] { EmbeddedPackage(damagedImage.get(), renamed).saveToFile(out + L"\\main.msi"); },
                                 "EmbeddedPackage::saveToFile"));
    EXPECT_EQ(std::vector<tstring>{}, listDir(out));
}

TEST_F(EmbeddedPackageTest, DestinationThatCannotBeUsed) {
    const tstring path = launcher(L"e2e-basic-setup.exe");
    const UniqueModule image = load(path);
    const tstring nowhere = pathOf(L"nowhere");
    EXPECT_EQ(0u, thrownPlainMessage([&] { EmbeddedPackage(image.get(), path).saveToFile(nowhere + L"\\main.msi"); },
                                     "FileUtils::createTempFile")
                      .find("createTempFile(stg, .tmp, " + tstrings::encodeUtf8(nowhere) + ") failed. System error [3]"));
    EXPECT_EQ(std::vector<tstring>{L"out"}, listDir(dir));
}
