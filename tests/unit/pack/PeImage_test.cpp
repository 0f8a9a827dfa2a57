#include "PackTestSupport.h"
#include "PeImage.h"

using namespace pack;

namespace {

class PeImageTest : public PackTempDirTest {
protected:
    // The stub's bytes with one change made by `edit`, written under `name`; returns the path.
    template <class Edit>
    std::string editedStub(const std::string& name, Edit edit) {
        std::string bytes = readBytes(packStubPath());
        edit(bytes, PeImage::open(packStubPath()));
        writeBytes(pathOf(name), bytes);
        return pathOf(name);
    }
};

std::string refusal(const std::string& path) {
    return refusalOf([&] { PeImage::open(path).resources(); });
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
    EXPECT_EQ("Tervo launcher stub", marker->text());
    const DataBlock* manifest = tree.find(ResourceTypes::manifest, 1);
    ASSERT_NE(nullptr, manifest);
    EXPECT_NE(std::string::npos, manifest->text().find("Tervo.PackStub"));
    EXPECT_EQ(image.file().get(), manifest->sourceFile());
}

TEST_F(PeImageTest, FindsThePackageOfAPackedFileWithoutLoadingIt) {
    const std::string package = randomBytes(6 * 1024 * 1024 + 1, 5);
    ResourceTree additions;
    additions.replace(ResourceTypes::rcData, ResourceNames::package, 0, blockOf(package));
    packFile(packStubPath(), pathOf("setup.exe"), additions);

    const PeImage image = PeImage::open(pathOf("setup.exe"));
    const ResourceTree tree = image.resources();
    EXPECT_TRUE(tree.contains(ResourceTypes::rcData, ResourceNames::launcherMarker));
    const DataBlock* found = tree.find(ResourceTypes::rcData, u"msi");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(image.file().get(), found->sourceFile());
    EXPECT_EQ(0u, found->sourceOffset() % 8);
    EXPECT_TRUE(found->text() == package);
}

TEST_F(PeImageTest, RefusesWhatIsNotAWellFormed64BitImage) {
    const auto optionalField = [](std::string& bytes, const PeImage& image, size_t field) {
        return bytes.data() + image.optionalHeaderOffset() + field;
    };
    const struct {
        std::string path;
        const char* expected;
    } cases[] = {
        {editedStub("empty.exe", [](std::string& bytes, const PeImage&) { bytes.clear(); }), "it has only 0 bytes"},
        {editedStub("text.exe", [](std::string& bytes, const PeImage&) { bytes.assign(200, 'A'); }),
         "it does not start with the MZ signature"},
        {editedStub("headless.exe", [](std::string& bytes, const PeImage&) { bytes.resize(64); }), "the PE header offset"},
        {editedStub("far.exe", [](std::string& bytes, const PeImage&) { storeU32(bytes.data() + 0x3C, 0xFFFFFFF0); }),
         "the PE header offset -16 is out of range"},
        {editedStub("nosignature.exe", [](std::string& bytes, const PeImage& image) { bytes[image.ntHeadersOffset()] = 'N'; }),
         "the PE signature is missing"},
        {editedStub("pe32.exe", [&](std::string& bytes, const PeImage& image) {
             storeU16(optionalField(bytes, image, 0), pe::magic32);
         }), "it is a 32-bit image (PE32)"},
        {editedStub("magic.exe", [&](std::string& bytes, const PeImage& image) { storeU16(optionalField(bytes, image, 0), 7); }),
         "the unknown magic number 7"},
        {editedStub("optional.exe", [&](std::string& bytes, const PeImage& image) {
             storeU16(bytes.data() + image.ntHeadersOffset() + 4 + pe::sizeOfOptionalHeader, 241);
         }), "the optional header size 241 is invalid"},
        {editedStub("alignment.exe", [&](std::string& bytes, const PeImage& image) {
             storeU32(optionalField(bytes, image, pe::fileAlignment), 100);
         }), "the file alignment 100"},
        {editedStub("directories.exe", [&](std::string& bytes, const PeImage& image) {
             storeU32(optionalField(bytes, image, pe::numberOfRvaAndSizes), 17);
         }), "it declares 17 data directories"},
        {editedStub("sections.exe", [&](std::string& bytes, const PeImage& image) {
             storeU16(bytes.data() + image.ntHeadersOffset() + 4 + pe::numberOfSections, 0);
         }), "it has 0 sections"},
        {editedStub("cut.exe", [](std::string& bytes, const PeImage& image) { bytes.resize(image.sections()[1].rawOffset + 1); }),
         "the data of section"},
        {editedStub("resources.exe", [&](std::string& bytes, const PeImage& image) {
             storeU32(optionalField(bytes, image, pe::dataDirectories + 8 * pe::resourceDirectory), 0x7FFF0000);
         }), "the resource directory lies in no section"},
    };
    for (const auto& c : cases) {
        const std::string message = refusal(c.path);
        EXPECT_NE(std::string::npos, message.find(c.expected)) << message;
        EXPECT_NE(std::string::npos, message.find(c.path)) << message;
    }
}

TEST_F(PeImageTest, RefusesAResourceDirectoryPointingOutsideItsSection) {
    // The first type entry of the root points far past the section.
    const std::string path = editedStub("outside.exe", [](std::string& bytes, const PeImage& image) {
        const DataDirectory directory = image.dataDirectory(pe::resourceDirectory);
        const uint64_t root = image.fileOffsetOf(directory.virtualAddress, 16);
        storeU32(bytes.data() + root + 16 + 4, 0x80000000 | 0x00FFFFF0);
    });
    EXPECT_NE(std::string::npos, refusal(path).find("lies outside its section")) << refusal(path);
}

TEST_F(PeImageTest, TellsAProgramFromALibraryAndItsSubsystem) {
    const PeImage stub = PeImage::open(packStubPath());
    EXPECT_EQ(pe::machineAmd64, stub.machine());
    EXPECT_TRUE(stub.characteristics() & pe::executableImage);
    EXPECT_FALSE(stub.characteristics() & pe::dllImage);
    EXPECT_EQ(pe::subsystemWindowsGui, stub.subsystem());
}

TEST_F(PeImageTest, AFileCutShortOpensAsFarAsItGoesWhenAllowed) {
    // The packer writes the package last: cut inside it, every other resource is still there.
    const std::string package = randomBytes(300000, 9);
    ResourceTree additions = launcherResources(package);
    additions.replace(ResourceTypes::rcData, u"UPGRADE_CODE", 0, blockOf(testProductCode));
    const ImageLayout layout = packFile(packStubPath(), pathOf("whole.exe"), additions, true);
    const std::string whole = readBytes(pathOf("whole.exe"));
    ASSERT_EQ(layout.fileSize, whole.size());
    const PeImage complete = PeImage::open(pathOf("whole.exe"), PeImage::Cut::Allowed);
    EXPECT_FALSE(complete.truncated());
    EXPECT_EQ(whole.size(), complete.declaredSize());

    writeBytes(pathOf("cut.exe"), whole.substr(0, whole.size() - 100000));
    EXPECT_NE(std::string::npos, refusal(pathOf("cut.exe")).find("lies outside the file")) << "refused unless allowed";
    const PeImage cut = PeImage::open(pathOf("cut.exe"), PeImage::Cut::Allowed);
    EXPECT_TRUE(cut.truncated());
    EXPECT_EQ(whole.size(), cut.declaredSize());
    EXPECT_EQ(whole.size() - 100000, cut.fileSize());
    std::vector<CutResource> missing;
    const ResourceTree tree = cut.resources(&missing);
    EXPECT_EQ(testProductCode, tree.find(ResourceTypes::rcData, ResourceNames::productCode)->text());
    EXPECT_EQ(testProductCode, tree.find(ResourceTypes::rcData, u"UPGRADE_CODE")->text());
    EXPECT_EQ(22u, tree.find(ResourceTypes::rcData, ResourceNames::checksum)->size());
    EXPECT_TRUE(tree.contains(ResourceTypes::rcData, ResourceNames::launcherMarker));
    EXPECT_FALSE(tree.contains(ResourceTypes::rcData, ResourceNames::package));
    ASSERT_EQ(1u, missing.size());
    EXPECT_EQ(ResourceId(ResourceNames::package), missing[0].name);
    EXPECT_EQ(package.size(), missing[0].size);

    // Cut before the resources, or inside the headers.
    writeBytes(pathOf("early.exe"), whole.substr(0, cut.sections().front().rawOffset + 10));
    std::vector<CutResource> none;
    EXPECT_EQ(0u, PeImage::open(pathOf("early.exe"), PeImage::Cut::Allowed).resources(&none).count());
    writeBytes(pathOf("headers.exe"), whole.substr(0, 300));
    EXPECT_EQ(pathOf("headers.exe") + " is truncated: it has only 300 bytes and ends inside its headers",
              refusalOf([&] { PeImage::open(pathOf("headers.exe"), PeImage::Cut::Allowed); }));
}
