#include <cstring>

#include "PackTestSupport.h"
#include "PeImage.h"

using namespace pack;

namespace {

class PeImageTest : public TempDirTest {
protected:
    // The stub's bytes with one change made by `edit`, written under `name`; returns the path.
    template <class Edit>
    tstring editedStub(const wchar_t* name, Edit edit) {
        std::string bytes = readFile(packStubPath());
        edit(bytes, PeImage::open(packStubPath()));
        writeFile(pathOf(name), bytes);
        return pathOf(name);
    }
};

std::string refusal(const tstring& path) {
    try {
        PeImage::open(path).resources();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "accepted";
}

} // namespace

TEST_F(PeImageTest, ReadsTheStubHeadersAndResources) {
    const PeImage image = PeImage::open(packStubPath());
    EXPECT_EQ(4096u, image.fileAlignment());
    EXPECT_EQ(4096u, image.sectionAlignment());
    EXPECT_EQ(4096u, image.sizeOfHeaders());
    EXPECT_FALSE(image.hasCertificateTable());
    EXPECT_EQ(0u, image.trailingDataSize());
    EXPECT_GE(image.sections().size(), 3u);
    EXPECT_EQ(".text", image.sections().front().name);

    const ResourceTree tree = image.resources();
    EXPECT_EQ(2u, tree.count());
    const DataBlock* marker = tree.find(ResourceTypes::rcData, ResourceNames::launcherMarker);
    ASSERT_NE(nullptr, marker);
    const std::vector<char> markerBytes = marker->load();
    EXPECT_EQ("Tervo launcher stub", std::string(markerBytes.begin(), markerBytes.end()));
    const DataBlock* manifest = tree.find(ResourceTypes::manifest, 1);
    ASSERT_NE(nullptr, manifest);
    const std::vector<char> manifestBytes = manifest->load();
    EXPECT_NE(std::string::npos, std::string(manifestBytes.begin(), manifestBytes.end()).find("Tervo.PackStub"));
    EXPECT_EQ(image.file().get(), manifest->sourceFile());
}

TEST_F(PeImageTest, FindsThePackageOfAPackedFileWithoutLoadingIt) {
    const std::string package = randomBytes(6 * 1024 * 1024 + 1, 5);
    ResourceTree additions;
    additions.replace(ResourceTypes::rcData, ResourceNames::package, 0, blockOf(package));
    packFile(packStubPath(), pathOf(L"setup.exe"), additions);

    const PeImage image = PeImage::open(pathOf(L"setup.exe"));
    const ResourceTree tree = image.resources();
    EXPECT_TRUE(tree.contains(ResourceTypes::rcData, ResourceNames::launcherMarker));
    const DataBlock* found = tree.find(ResourceTypes::rcData, L"msi");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(image.file().get(), found->sourceFile());
    EXPECT_EQ(0u, found->sourceOffset() % 8);
    {
        std::ofstream out(pathOf(L"extracted.msi").c_str(), std::ios::binary);
        StreamSink sink(out);
        found->writeTo(sink);
    }
    EXPECT_TRUE(readFile(pathOf(L"extracted.msi")) == package);
}

TEST_F(PeImageTest, RefusesWhatIsNotAWellFormed64BitImage) {
    const auto optionalField = [](std::string& bytes, const PeImage& image, size_t field) {
        return bytes.data() + image.optionalHeaderOffset() + field;
    };
    const struct {
        tstring path;
        const char* expected;
    } cases[] = {
        {editedStub(L"empty.exe", [](std::string& bytes, const PeImage&) { bytes.clear(); }), "it has only 0 bytes"},
        {editedStub(L"text.exe", [](std::string& bytes, const PeImage&) { bytes.assign(200, 'A'); }),
         "it does not start with the MZ signature"},
        {editedStub(L"headless.exe", [](std::string& bytes, const PeImage&) { bytes.resize(64); }),
         "the PE header offset"},
        {editedStub(L"nosignature.exe", [](std::string& bytes, const PeImage& image) { bytes[image.ntHeadersOffset()] = 'N'; }),
         "the PE signature is missing"},
        {editedStub(L"pe32.exe", [&](std::string& bytes, const PeImage& image) {
             storeU16(optionalField(bytes, image, 0), IMAGE_NT_OPTIONAL_HDR32_MAGIC);
         }), "it is a 32-bit image (PE32)"},
        {editedStub(L"alignment.exe", [&](std::string& bytes, const PeImage& image) {
             storeU32(optionalField(bytes, image, offsetof(IMAGE_OPTIONAL_HEADER64, FileAlignment)), 100);
         }), "the file alignment 100"},
        {editedStub(L"directories.exe", [&](std::string& bytes, const PeImage& image) {
             storeU32(optionalField(bytes, image, offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes)), 17);
         }), "it declares 17 data directories"},
        {editedStub(L"cut.exe", [](std::string& bytes, const PeImage& image) { bytes.resize(image.sections()[1].rawOffset + 1); }),
         "the data of section"},
        {editedStub(L"resources.exe", [&](std::string& bytes, const PeImage& image) {
             const size_t entry = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) + 8 * IMAGE_DIRECTORY_ENTRY_RESOURCE;
             storeU32(optionalField(bytes, image, entry), 0x7FFF0000);
         }), "the resource directory lies in no section"},
    };
    for (const auto& c : cases) {
        const std::string message = refusal(c.path);
        EXPECT_NE(std::string::npos, message.find(c.expected)) << message;
        EXPECT_NE(std::string::npos, message.find(tstrings::encodeUtf8(c.path))) << message;
    }
}

TEST_F(PeImageTest, RefusesAResourceDirectoryPointingOutsideItsSection) {
    // The first type entry of the root points far past the section.
    const tstring path = editedStub(L"outside.exe", [](std::string& bytes, const PeImage& image) {
        const IMAGE_DATA_DIRECTORY directory = image.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
        const uint64_t root = image.fileOffsetOf(directory.VirtualAddress, 16);
        storeU32(bytes.data() + root + 16 + 4, 0x80000000 | 0x00FFFFF0);
    });
    EXPECT_NE(std::string::npos, refusal(path).find("lies outside its section")) << refusal(path);
}
