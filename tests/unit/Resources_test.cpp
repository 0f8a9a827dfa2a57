#include "ErrorHandling.h"
#include "Resources.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

HMODULE self() { return SysInfo::getCurrentModuleHandle(); }

template <class Body>
std::string thrownBy(Body&& body) {
    try {
        body();
    } catch (const TervoErrorBase& e) {
        return e.plainMessage();
    }
    return "nothing thrown";
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

const std::string msiBytes("MZ\r\n\0\x1a\xff\xff" "end", 11);

} // namespace

TEST(Resource, LookupByTextOrNumber) {
    for (const wchar_t* name : {L"product_code", L"PRODUCT_CODE", L"Product_Code"}) {
        EXPECT_EQ("{12345678-ABCD-4EF0-9876-0123456789AB}", text(Resource(name, RT_RCDATA, self()).bytes()));
    }
    DWORD size = 0;
    const Resource msi(L"msi", RT_RCDATA, self());
    const auto* data = static_cast<const char*>(msi.getPtr(size));
    EXPECT_EQ(msiBytes, std::string(data, size));
    EXPECT_EQ(11u, msi.size());
    EXPECT_EQ("seven", text(Resource(7, RT_RCDATA, self()).bytes()));
    EXPECT_EQ("blob", text(Resource(L"data", L"blob", self()).bytes()));
    EXPECT_EQ(0u, Resource(L"empty", RT_RCDATA, self()).size());
    EXPECT_TRUE(Resource(L"empty", RT_RCDATA, self()).bytes().empty());

    // A copy keys its lookups on its own copy of the name.
    tstring name = L"product_code";
    const Resource original(name.c_str(), RT_RCDATA, self());
    name.assign(L"changed afterwards");
    EXPECT_EQ(38u, Resource(original).size());
}

TEST(Resource, MissingResourcesAreNamedInTheMessage) {
    const std::pair<Resource, std::string> cases[] = {
        {Resource(5, RT_RCDATA, self()), "cannot find resource (name='#5', type='#10'). System error [1814]"},
        {Resource(L"msi", L"Blob", self()), "cannot find resource (name='msi', type='Blob'). System error ["},
        {Resource(L"J\u00fcrgen", MAKEINTRESOURCEW(23), self()), "cannot find resource (name='J\xc3\xbcrgen', type='#23')."},
    };
    for (const auto& [resource, message] : cases) {
        EXPECT_FALSE(resource.available());
        EXPECT_EQ(0u, thrownBy([&] { resource.rawData(); }).find(message)) << message;
    }
    try {
        Resource(5, RT_RCDATA, self()).size();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(" at Resource::getPtr(): ")) << e.what();
    }
}

class ResourceFileTest : public TempDirTest {
protected:
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

TEST_F(ResourceFileTest, SavedFilesAreCompleteOrAbsent) {
    const tstring folder = pathOf(L"J\u00fcrgen \u03a9mega");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    writeFile(folder + L"\\main.msi", "an older package that is longer than the new one");
    Resource(L"msi", RT_RCDATA, self()).saveToFile(folder + L"\\main.msi");
    EXPECT_EQ(msiBytes, readFile(folder + L"\\main.msi"));
    Resource(L"EMPTY", RT_RCDATA, self()).saveToFile(folder + L"\\empty.bin");
    EXPECT_EQ("", readFile(folder + L"\\empty.bin"));
    EXPECT_EQ((std::vector<tstring>{L"empty.bin", L"main.msi"}), listDir(folder));

    capture.records.clear();
    const std::string missing = thrownBy([&] { Resource(L"nope", RT_RCDATA, self()).saveToFile(pathOf(L"out")); });
    EXPECT_EQ(0u, missing.find("cannot find resource (name='nope', type='#10'). System error [1814]")) << missing;
    EXPECT_TRUE(capture.records.empty());
    // No temporary file can be made where the directory is missing.
    EXPECT_EQ(0u, thrownBy([&] { Resource(L"msi", RT_RCDATA, self()).saveToFile(pathOf(L"missing\\main.msi")); })
                      .find("createTempFile(stg, .tmp, " + tstrings::encodeUtf8(pathOf(L"missing")) +
                            ") failed. System error [3]"));
    EXPECT_EQ(std::vector<tstring>{L"J\u00fcrgen \u03a9mega"}, listDir(dir));
}

TEST(StringResource, EntriesAcrossBlocks) {
    const std::pair<std::uint16_t, const wchar_t*> cases[] = {
        {0, L"zero"}, {1, L"one"}, {17, L"J\u00fcrgen \u03a9mega"}, {18, L""}, {16, L""}, {31, L"last"},
    };
    for (const auto& [id, expected] : cases) {
        EXPECT_EQ(tstring(expected), StringResource(id, self()).string()) << id;
        EXPECT_EQ(tstring(expected), StringResource(id, self()).string(std::nothrow, L"default")) << id;
    }
    EXPECT_EQ(0u, thrownBy([] { StringResource(32, self()).string(); })
                      .find("cannot find resource (name='#32', type='#6'). System error [1814]"));

    CapturingAppender capture;
    ScopedAppender scope(&capture);
    EXPECT_EQ(L"default", StringResource(100, self()).string(std::nothrow, L"default"));
    ASSERT_EQ(1u, capture.records.size());
    EXPECT_EQ(L"StringResource::string", capture.records[0].functionName);
    EXPECT_EQ(0u, capture.records[0].message.find(L"Exception with message 'Resources.cpp("));
    EXPECT_NE(tstring::npos, capture.records[0].message.find(L"cannot find resource (name='#100', type='#6')"));
}
