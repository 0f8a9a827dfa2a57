#include <cstring>

#include "PackTestSupport.h"
#include "VersionBlock.h"

using namespace pack;

namespace {

const VersionStrings sample = {L"Tervo Sample Ääni", L"2.5.1", L"Tervo Oy", L"Sample setup — installer", L"10.0.1.45",
                               L"setup.exe"};

class VersionBlockTest : public TempDirTest {};

} // namespace

TEST(ParseVersion, AcceptsOneToFourNumbersUpTo65535) {
    const struct {
        const wchar_t* text;
        std::array<WORD, 4> parts;
    } cases[] = {
        {L"1", {1, 0, 0, 0}},          {L"1.2.3", {1, 2, 3, 0}},           {L"10.0.1.45", {10, 0, 1, 45}},
        {L"0.0.0.0", {0, 0, 0, 0}},    {L"65535.65535.65535.65535", {65535, 65535, 65535, 65535}},
        {L"007.08", {7, 8, 0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.parts, parseVersion(c.text).parts) << tstrings::encodeUtf8(c.text);
    }
    const FixedVersion version = parseVersion(L"1.2.3.4");
    EXPECT_EQ(0x00010002u, version.mostSignificant());
    EXPECT_EQ(0x00030004u, version.leastSignificant());
}

TEST(ParseVersion, RefusesEverythingElseNamingTheText) {
    for (const wchar_t* text : {L"", L".", L"1.", L".1", L"1..2", L"1.2.3.4.5", L"65536", L"1.99999999999", L"1.-2", L" 1",
                                L"1 ", L"1a", L"+1", L"v1.2", L"1,2", L"１.２"}) {
        try {
            parseVersion(text);
            ADD_FAILURE() << "accepted " << tstrings::encodeUtf8(text);
        } catch (const std::runtime_error& e) {
            const std::string expected = "Invalid version [" + tstrings::encodeUtf8(text) + "]: expected one to four numbers";
            EXPECT_NE(nullptr, std::strstr(e.what(), expected.c_str())) << e.what();
        }
    }
    VersionStrings bad = sample;
    bad.productVersion = L"1.2.x";
    EXPECT_THROW(buildVersionBlock(bad), std::runtime_error);
}

TEST_F(VersionBlockTest, TheSystemReadsBackTheStringsAndFixedVersions) {
    ResourceTree tree;
    tree.put(ResourceTypes::version, 1, 0x40C, blockOf("stale French block"));
    setVersionResource(tree, sample);
    ASSERT_EQ(1u, tree.count());
    packFile(packStubPath(), pathOf(L"setup.exe"), tree);

    const tstring path = pathOf(L"setup.exe");
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_NE(0u, size) << describeWinError(GetLastError());
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data())) << describeWinError(GetLastError());

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(static_cast<DWORD>(VS_FFI_SIGNATURE), fixed->dwSignature);
    EXPECT_EQ(0x000A0000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x0001002Du, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00020005u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);

    const std::pair<const wchar_t*, tstring> strings[] = {
        {L"ProductName", sample.productName},         {L"ProductVersion", sample.productVersion},
        {L"CompanyName", sample.companyName},         {L"FileDescription", sample.fileDescription},
        {L"FileVersion", sample.fileVersion},         {L"OriginalFilename", sample.originalFilename},
    };
    for (const auto& [key, value] : strings) {
        wchar_t* text = nullptr;
        const tstring query = tstring(L"\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << tstrings::encodeUtf8(key);
        EXPECT_EQ(value, tstring(text)) << tstrings::encodeUtf8(key);
    }

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
}
