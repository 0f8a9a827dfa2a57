#include <cstring>

#include "PackTestSupport.h"
#include "PeWriter.h"
#include "UniqueHandle.h"

using namespace pack;

namespace {

const std::string productCode = "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}";

ResourceTree launcherResources(const std::string& package, const std::string& code = productCode) {
    ResourceTree tree;
    tree.replace(ResourceTypes::rcData, ResourceNames::package, 0, blockOf(package));
    tree.replace(ResourceTypes::rcData, ResourceNames::productCode, 0, blockOf(code));
    return tree;
}

// The checksum the system's image helper computes for a file, loaded at run time so the test
// programs keep importing system DLLs only.
DWORD systemChecksum(const tstring& path) {
    UniqueModule imagehlp(LoadLibraryW(L"imagehlp.dll"));
    using MapFileAndCheckSum = DWORD(WINAPI*)(PCWSTR, PDWORD, PDWORD);
    const auto function = reinterpret_cast<MapFileAndCheckSum>(
        reinterpret_cast<void*>(GetProcAddress(imagehlp.get(), "MapFileAndCheckSumW")));
    EXPECT_NE(nullptr, function);
    DWORD stored = 0, computed = 0;
    EXPECT_EQ(0u, function ? function(path.c_str(), &stored, &computed) : 1);
    EXPECT_EQ(stored, computed);
    return computed;
}

class PeWriterTest : public TempDirTest {};

} // namespace

TEST_F(PeWriterTest, PackedStubReadsItsPackageAndKeepsItsOwnResources) {
    const std::string package = randomBytes(3 * 1024 * 1024 + 13, 1);
    const tstring packed = pathOf(L"setup.exe");
    const ImageLayout layout = packFile(packStubPath(), packed, launcherResources(package));
    EXPECT_TRUE(layout.appendedSection);

    auto report = runPackedStub(packed, pathOf(L"main.msi"));
    EXPECT_EQ("0", report["EXIT"]);
    EXPECT_EQ(std::to_string(package.size()), report["MSI"]);
    EXPECT_TRUE(readFile(pathOf(L"main.msi")) == package) << "the package read back differs";
    EXPECT_EQ(productCode, report["PRODUCT_CODE"]);
    EXPECT_NE("0", report["MANIFEST"]);
    EXPECT_NE("0", report["MARKER"]);
}

TEST_F(PeWriterTest, PackedImageKeepsPageAlignmentAndHasConsistentHeaders) {
    const PeImage stub = PeImage::open(packStubPath());
    const tstring packed = pathOf(L"setup.exe");
    const ImageLayout layout = packFile(packStubPath(), packed, launcherResources(randomBytes(100001, 2)));

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
    EXPECT_EQ(IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ, added.characteristics);
    EXPECT_EQ(added.virtualAddress, image.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
    EXPECT_EQ(layout.resourceSize, image.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE).Size);
    EXPECT_EQ(alignUp(uint64_t{added.virtualAddress} + added.virtualSize, image.sectionAlignment()),
              image.optionalHeader().SizeOfImage);
    EXPECT_EQ(stub.optionalHeader().SizeOfInitializedData + added.rawSize, image.optionalHeader().SizeOfInitializedData);
    EXPECT_EQ(layout.fileSize, image.fileSize());
    EXPECT_EQ(0u, image.trailingDataSize());

    // Everything of the stub before its end is copied unchanged, except the changed header fields.
    const std::string stubBytes = readFile(packStubPath());
    const std::string packedBytes = readFile(packed);
    EXPECT_TRUE(stubBytes.compare(stub.sizeOfHeaders(), std::string::npos, packedBytes, stub.sizeOfHeaders(),
                                  stubBytes.size() - stub.sizeOfHeaders()) == 0);
    // The superseded section keeps its bytes but not its name, so name lookups find the new one.
    int named = 0;
    for (const PeSection& section : image.sections()) {
        named += section.name == ".rsrc" ? 1 : 0;
    }
    EXPECT_EQ(1, named);

    EXPECT_EQ(layout.checksum, image.optionalHeader().CheckSum);
    EXPECT_EQ(layout.checksum, systemChecksum(packed));
}

TEST_F(PeWriterTest, RepackingReplacesThePackageInPlace) {
    const tstring first = pathOf(L"first.exe");
    const ImageLayout firstLayout = packFile(packStubPath(), first, launcherResources(randomBytes(2000000, 3)));
    const PeImage packedOnce = PeImage::open(first);

    // Smaller, then larger than the first package: the last section is rewritten at any size.
    const std::string code = "{00000000-1111-2222-3333-444444444444}";
    for (const size_t size : {size_t{1500001}, size_t{5 * 1024 * 1024 + 7}}) {
        const std::string package = randomBytes(size, static_cast<uint32_t>(size));
        const tstring second = pathOf(L"second.exe");
        const ImageLayout layout = packFile(first, second, launcherResources(package, code));
        EXPECT_FALSE(layout.appendedSection);
        EXPECT_EQ(firstLayout.resourceRva, layout.resourceRva);
        EXPECT_EQ(firstLayout.resourceFileOffset, layout.resourceFileOffset);
        EXPECT_EQ(layout.resourceFileOffset + alignUp(layout.resourceSize, 4096), layout.fileSize);

        const PeImage image = PeImage::open(second);
        EXPECT_EQ(packedOnce.sections().size(), image.sections().size());
        const ResourceTree tree = image.resources();
        EXPECT_EQ(PeImage::open(packStubPath()).resources().count() + 2, tree.count());
        EXPECT_EQ(1u, tree.types().at(ResourceTypes::rcData).at(ResourceNames::package).size());
        EXPECT_EQ(layout.checksum, systemChecksum(second));

        auto report = runPackedStub(second, pathOf(L"main.msi"));
        EXPECT_EQ("0", report["EXIT"]);
        EXPECT_TRUE(readFile(pathOf(L"main.msi")) == package);
        EXPECT_EQ(code, report["PRODUCT_CODE"]);
        EXPECT_NE("0", report["MANIFEST"]);
    }
}

TEST_F(PeWriterTest, RefusesStubsItCannotExtendAndWritesNothing) {
    const std::string stub = readFile(packStubPath());
    const PeImage image = PeImage::open(packStubPath());
    const uint32_t securityEntry = image.optionalHeaderOffset() + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
                                   8 * IMAGE_DIRECTORY_ENTRY_SECURITY;
    const uint32_t freeSlot = image.sectionTableOffset() + static_cast<uint32_t>(image.sections().size()) * IMAGE_SIZEOF_SECTION_HEADER;

    std::string signedStub = stub + std::string(16, '\x01');
    storeU32(signedStub.data() + securityEntry, static_cast<uint32_t>(stub.size()));
    storeU32(signedStub.data() + securityEntry + 4, 16);
    std::string crowded = stub;
    std::memset(crowded.data() + freeSlot, 0x2E, IMAGE_SIZEOF_SECTION_HEADER);

    const struct {
        const wchar_t* name;
        std::string bytes;
        const char* expected;
    } cases[] = {
        {L"signed.exe", signedStub, "it is signed (it has a certificate table)"},
        {L"trailing.exe", stub + "appended payload", "it has 16 bytes of data after its last section"},
        {L"crowded.exe", crowded, "its headers have no room for another section header"},
    };
    for (const auto& c : cases) {
        writeFile(pathOf(c.name), c.bytes);
        MemorySink sink;
        try {
            writeImage(PeImage::open(pathOf(c.name)), launcherResources("x"), sink);
            ADD_FAILURE() << "packed " << tstrings::encodeUtf8(c.name);
        } catch (const std::runtime_error& e) {
            EXPECT_NE(nullptr, std::strstr(e.what(), c.expected)) << e.what();
            EXPECT_NE(nullptr, std::strstr(e.what(), tstrings::encodeUtf8(c.name).c_str())) << e.what();
        }
        EXPECT_TRUE(sink.bytes.empty()) << tstrings::encodeUtf8(c.name);
    }
}

TEST_F(PeWriterTest, StreamsThePackageFromItsFile) {
    const std::string package = randomBytes(9 * 1024 * 1024 + 3, 4);
    writeFile(pathOf(L"app.msi"), package);
    const auto source = SourceFile::open(pathOf(L"app.msi"));
    ResourceTree additions;
    additions.replace(ResourceTypes::rcData, ResourceNames::package, 0, DataBlock(source, 0, source->size()));
    additions.replace(ResourceTypes::rcData, ResourceNames::productCode, 0, blockOf(productCode));

    // Only the header of the image is ever held whole: writes come in pieces of the read buffer.
    class LargestWrite : public ByteSink {
    public:
        explicit LargestWrite(const tstring& path) : out(path.c_str(), std::ios::binary) {}
        void write(const char* data, size_t size) override {
            largest = std::max(largest, size);
            out.write(data, static_cast<std::streamsize>(size));
        }
        size_t largest = 0;
        std::ofstream out;
    };
    const PeImage stub = PeImage::open(packStubPath());
    ResourceTree tree = stub.resources();
    tree.replaceFrom(additions);
    {
        LargestWrite sink(pathOf(L"setup.exe"));
        writeImage(stub, tree, sink);
        EXPECT_LE(sink.largest, SourceFile::chunkSize);
    }
    auto report = runPackedStub(pathOf(L"setup.exe"), pathOf(L"main.msi"));
    EXPECT_EQ("0", report["EXIT"]);
    EXPECT_TRUE(readFile(pathOf(L"main.msi")) == package);
}

TEST_F(PeWriterTest, PutsThePackageOnAPageEvenInAStubWithoutPageAlignedSections) {
    const PeImage stub = PeImage::open(unalignedPackStubPath());
    ASSERT_EQ(512u, stub.fileAlignment());
    const PeSection* old = stub.sectionAt(stub.dataDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
    ASSERT_NE(nullptr, old);
    ASSERT_NE(0u, old->rawOffset % 4096) << "the stub no longer shows the case";

    CapturingAppender appender;
    ScopedAppender scope(&appender);
    const std::string package = randomBytes(1000003, 6);
    const ImageLayout layout = packFile(unalignedPackStubPath(), pathOf(L"unaligned.exe"), launcherResources(package));
    ASSERT_EQ(1u, appender.messages(Severity::WARNING).size());
    EXPECT_NE(tstring::npos, appender.messages(Severity::WARNING)[0].find(L"has the file alignment 512 rather than 4096"));
    EXPECT_FALSE(layout.appendedSection);
    EXPECT_EQ(0u, layout.resourceFileOffset % 4096);

    const PeImage image = PeImage::open(pathOf(L"unaligned.exe"));
    EXPECT_EQ(512u, image.fileAlignment());
    EXPECT_EQ(stub.sections().size(), image.sections().size());
    EXPECT_EQ(layout.checksum, systemChecksum(pathOf(L"unaligned.exe")));
    auto report = runPackedStub(pathOf(L"unaligned.exe"), pathOf(L"main.msi"));
    EXPECT_EQ("0", report["EXIT"]);
    EXPECT_TRUE(readFile(pathOf(L"main.msi")) == package);
    EXPECT_NE("0", report["MANIFEST"]);

    packFile(packStubPath(), pathOf(L"aligned.exe"), launcherResources("x"));
    EXPECT_EQ(1u, appender.messages(Severity::WARNING).size());
}
