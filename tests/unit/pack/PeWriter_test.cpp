#include <cstring>

#include "PackTestSupport.h"
#include "PackageChecksum.h"
#include "PeWriter.h"

using namespace pack;

namespace {

// The format's own definition: 16-bit words with the carry folded in after every addition.
uint32_t checksumByWords(const std::string& file, uint32_t checksumOffset) {
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        const bool inField = i >= checksumOffset && i < checksumOffset + 4;
        const uint32_t word = inField ? 0 : static_cast<uint8_t>(file[i]) | (i + 1 < file.size() ? static_cast<uint8_t>(file[i + 1]) << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(file.size());
}

class PeWriterTest : public PackTempDirTest {};

} // namespace

TEST(PeChecksum, EqualsTheSixteenBitSumWhateverTheCutsAndTheirOrder) {
    const struct {
        std::string bytes;
    } cases[] = {{""}, {std::string(1, '\xFF')}, {std::string(7, '\xFF')}, {std::string(4096, '\xFF')},
                 {randomBytes(1001, 11)}, {randomBytes(65537, 12)}, {std::string(3, '\0') + "\x01"}};
    for (const auto& c : cases) {
        const uint32_t expected = checksumByWords(c.bytes, static_cast<uint32_t>(c.bytes.size()) + 8);
        for (const size_t step : {size_t{1}, size_t{3}, size_t{5}, size_t{4096}}) {
            PeChecksum checksum;
            // Backwards, so each piece starts at any offset of a word.
            for (size_t end = c.bytes.size(); end > 0;) {
                const size_t start = end > step ? end - step : 0;
                checksum.add(start, c.bytes.data() + start, end - start);
                end = start;
            }
            EXPECT_EQ(expected, checksum.finish(c.bytes.size())) << c.bytes.size() << " bytes in pieces of " << step;
        }
    }
}

TEST_F(PeWriterTest, PackedImageKeepsPageAlignmentAndHasConsistentHeaders) {
    const PeImage stub = PeImage::open(packStubPath());
    const std::string packed = pathOf("setup.exe");
    const std::string package = randomBytes(100001, 2);
    const ImageLayout layout = packFile(packStubPath(), packed, launcherResources(package), true);
    EXPECT_TRUE(layout.appendedSection);

    const PeImage image = PeImage::open(packed);
    EXPECT_EQ(4096u, image.fileAlignment());
    EXPECT_EQ(stub.sectionAlignment(), image.sectionAlignment());
    ASSERT_EQ(stub.sections().size() + 1, image.sections().size());
    for (const PeSection& section : image.sections()) {
        EXPECT_EQ(0u, section.rawOffset % 4096) << section.name;
        EXPECT_EQ(0u, section.rawSize % 4096) << section.name;
    }
    const PeSection& added = image.sections().back();
    EXPECT_EQ(".rsrc", added.name);
    EXPECT_EQ(layout.resourceRva, added.virtualAddress);
    EXPECT_EQ(layout.resourceFileOffset, added.rawOffset);
    EXPECT_EQ(0u, added.virtualAddress % image.sectionAlignment());
    EXPECT_EQ(pe::initializedData | pe::memoryRead, added.characteristics);
    EXPECT_EQ(added.virtualAddress, image.dataDirectory(pe::resourceDirectory).virtualAddress);
    EXPECT_EQ(layout.resourceSize, image.dataDirectory(pe::resourceDirectory).size);
    EXPECT_EQ(alignUp(uint64_t{added.virtualAddress} + added.virtualSize, image.sectionAlignment()), image.sizeOfImage());
    EXPECT_EQ(stub.optionalField(pe::sizeOfInitializedData) + added.rawSize, image.optionalField(pe::sizeOfInitializedData));
    EXPECT_EQ(layout.fileSize, image.fileSize());
    EXPECT_EQ(0u, image.trailingDataSize());

    // Everything of the stub before its end is copied unchanged, except the changed header fields.
    const std::string stubBytes = readBytes(packStubPath());
    const std::string packedBytes = readBytes(packed);
    EXPECT_TRUE(stubBytes.compare(stub.sizeOfHeaders(), std::string::npos, packedBytes, stub.sizeOfHeaders(),
                                  stubBytes.size() - stub.sizeOfHeaders()) == 0);
    // The superseded section keeps its bytes but not its name, so name lookups find the new one.
    int named = 0;
    for (const PeSection& section : image.sections()) {
        named += section.name == ".rsrc" ? 1 : 0;
    }
    EXPECT_EQ(1, named);

    // The checksums patched in at the end: the package's text, then the image's over all of it.
    const ResourceTree tree = image.resources();
    ASSERT_TRUE(tree.contains(ResourceTypes::rcData, ResourceNames::checksum));
    EXPECT_EQ(PackageChecksum::formatText(PackageChecksum::xxh64(package.data(), package.size())),
              tree.find(ResourceTypes::rcData, ResourceNames::checksum)->text());
    EXPECT_EQ(PackageChecksum::xxh64(package.data(), package.size()), layout.packageChecksum);
    EXPECT_EQ(layout.checksum, image.checksum());
    EXPECT_EQ(checksumByWords(packedBytes, image.optionalHeaderOffset() + pe::checkSum), layout.checksum);
}

TEST_F(PeWriterTest, RepackingReplacesThePackageInPlace) {
    const std::string first = pathOf("first.exe");
    const ImageLayout firstLayout = packFile(packStubPath(), first, launcherResources(randomBytes(2000000, 3)), true);
    const PeImage packedOnce = PeImage::open(first);

    // Smaller, then larger than the first package: the last section is rewritten at any size.
    const std::string code = "{00000000-1111-2222-3333-444444444444}";
    for (const size_t size : {size_t{1500001}, size_t{5 * 1024 * 1024 + 7}}) {
        const std::string package = randomBytes(size, static_cast<uint32_t>(size));
        const std::string second = pathOf("second.exe");
        const ImageLayout layout = packFile(first, second, launcherResources(package, code), true);
        EXPECT_FALSE(layout.appendedSection);
        EXPECT_EQ(firstLayout.resourceRva, layout.resourceRva);
        EXPECT_EQ(firstLayout.resourceFileOffset, layout.resourceFileOffset);
        EXPECT_EQ(layout.resourceFileOffset + alignUp(layout.resourceSize, 4096), layout.fileSize);

        const PeImage image = PeImage::open(second);
        EXPECT_EQ(packedOnce.sections().size(), image.sections().size());
        const ResourceTree tree = image.resources();
        EXPECT_EQ(PeImage::open(packStubPath()).resources().count() + 3, tree.count());
        EXPECT_EQ(1u, tree.types().at(ResourceTypes::rcData).at(ResourceNames::package).size());
        EXPECT_TRUE(tree.find(ResourceTypes::rcData, ResourceNames::package)->text() == package);
        EXPECT_EQ(code, tree.find(ResourceTypes::rcData, ResourceNames::productCode)->text());
        EXPECT_EQ(checksumByWords(readBytes(second), image.optionalHeaderOffset() + pe::checkSum), layout.checksum);
    }
}

TEST_F(PeWriterTest, RefusesStubsItCannotExtendAndWritesNothing) {
    const std::string stub = readBytes(packStubPath());
    const PeImage image = PeImage::open(packStubPath());
    const uint32_t securityEntry = image.optionalHeaderOffset() + pe::dataDirectories + 8 * pe::securityDirectory;
    const uint32_t freeSlot = image.sectionTableOffset() + static_cast<uint32_t>(image.sections().size()) * pe::sectionHeaderSize;

    std::string signedStub = stub + std::string(16, '\x01');
    storeU32(signedStub.data() + securityEntry, static_cast<uint32_t>(stub.size()));
    storeU32(signedStub.data() + securityEntry + 4, 16);
    std::string crowded = stub;
    std::memset(crowded.data() + freeSlot, 0x2E, pe::sectionHeaderSize);
    std::string noResourceEntry = stub;
    storeU32(noResourceEntry.data() + image.optionalHeaderOffset() + pe::numberOfRvaAndSizes, 2);

    const struct {
        const char* name;
        std::string bytes;
        ResourceTree resources;
        bool packageChecksum;
        const char* expected;
    } cases[] = {
        {"signed.exe", signedStub, launcherResources("x"), false, "it is signed (it has a certificate table)"},
        {"trailing.exe", stub + "appended payload", launcherResources("x"), false, "it has 16 bytes of data after its last section"},
        {"crowded.exe", crowded, launcherResources("x"), false, "its headers have no room for another section header"},
        {"nodirectory.exe", noResourceEntry, launcherResources("x"), false, "its optional header has no resource directory entry"},
        {"nopackage.exe", stub, ResourceTree(), true, "there is no package to take a checksum of"},
    };
    for (const auto& c : cases) {
        writeBytes(pathOf(c.name), c.bytes);
        MemorySink sink;
        const std::string message =
            refusalOf([&] { writeImage(PeImage::open(pathOf(c.name)), c.resources, sink, c.packageChecksum); });
        EXPECT_NE(std::string::npos, message.find(c.expected)) << message;
        EXPECT_NE(std::string::npos, message.find(c.name)) << message;
        EXPECT_TRUE(sink.bytes.empty()) << c.name;
    }
}

TEST_F(PeWriterTest, StreamsThePackageOnceInBoundedPieces) {
    const std::string package = randomBytes(9 * 1024 * 1024 + 3, 4);
    writeBytes(pathOf("app.msi"), package);
    const auto source = SourceFile::open(pathOf("app.msi"));
    ResourceTree additions;
    additions.replace(ResourceTypes::rcData, ResourceNames::package, 0, DataBlock(source, 0, source->size()));

    // Only the header of the image is ever held whole; every byte is appended once, and only the
    // two checksums are written again.
    class CountingSink : public MemorySink {
    public:
        void write(const char* data, size_t size) override {
            largest = std::max(largest, size);
            MemorySink::write(data, size);
        }
        void writeAt(uint64_t offset, const char* data, size_t size) override {
            patched.push_back(size);
            MemorySink::writeAt(offset, data, size);
        }
        size_t largest = 0;
        std::vector<size_t> patched;
    };
    const PeImage stub = PeImage::open(packStubPath());
    ResourceTree tree = stub.resources();
    tree.replaceFrom(additions);
    CountingSink sink;
    const ImageLayout layout = writeImage(stub, tree, sink, true);
    EXPECT_LE(sink.largest, SourceFile::chunkSize);
    EXPECT_EQ(layout.fileSize, sink.bytes.size());
    EXPECT_EQ((std::vector<size_t>{PackageChecksum::textLength, 4}), sink.patched);
    EXPECT_NE(std::string::npos, sink.bytes.find(package));
}

TEST_F(PeWriterTest, PutsThePackageOnAPageEvenInAStubWithoutPageAlignedSections) {
    const PeImage stub = PeImage::open(unalignedPackStubPath());
    ASSERT_EQ(512u, stub.fileAlignment());
    const PeSection* old = stub.sectionAt(stub.dataDirectory(pe::resourceDirectory).virtualAddress);
    ASSERT_NE(nullptr, old);
    ASSERT_NE(0u, old->rawOffset % 4096) << "the stub no longer shows the case";

    const std::string package = randomBytes(1000003, 6);
    const ImageLayout layout = packFile(unalignedPackStubPath(), pathOf("unaligned.exe"), launcherResources(package));
    EXPECT_FALSE(layout.appendedSection);
    EXPECT_EQ(0u, layout.resourceFileOffset % 4096);

    const PeImage image = PeImage::open(pathOf("unaligned.exe"));
    EXPECT_EQ(512u, image.fileAlignment());
    EXPECT_EQ(stub.sections().size(), image.sections().size());
    EXPECT_TRUE(image.resources().find(ResourceTypes::rcData, ResourceNames::package)->text() == package);
    EXPECT_EQ(checksumByWords(readBytes(pathOf("unaligned.exe")), image.optionalHeaderOffset() + pe::checkSum), layout.checksum);
}
