// The launcher's reader of version blocks against the packer's writer, and against damage.
#include "ModuleVersion.h"
#include "TestSupport.h"
#include "VersionBlock.h"

namespace {

const pack::VersionStrings sample = {"Tervo Hello \xc3\x84\xc3\xa4ni \"q\"", "2.5.1", "Tervo Oy", "Tervo Hello Setup",
                                     "2.5.1", "setup.exe"};

} // namespace

TEST(ModuleVersion, ReadsEveryTextThePackerWrites) {
    const std::vector<char> block = pack::buildVersionBlock(sample);
    const std::pair<const wchar_t*, std::string> texts[] = {
        {L"ProductName", sample.productName},        {L"ProductVersion", sample.productVersion},
        {L"CompanyName", sample.companyName},        {L"FileDescription", sample.fileDescription},
        {L"OriginalFilename", sample.originalFilename}, {L"Missing", ""},
        {L"productname", ""},
    };
    for (const auto& [name, text] : texts) {
        EXPECT_EQ(text, tstrings::encodeUtf8(ModuleVersion::versionString(block.data(), block.size(), name)))
            << tstrings::encodeUtf8(name);
    }
}

TEST(ModuleVersion, DamagedBlocksGiveNothingAndNeverReadPastTheirEnd) {
    const std::vector<char> block = pack::buildVersionBlock(sample);
    // Cut short anywhere: each copy lies in a buffer of exactly its size.
    for (size_t size = 0; size < block.size(); ++size) {
        const std::unique_ptr<char[]> cut(new char[size + 1]);
        std::copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size), cut.get());
        const tstring name = ModuleVersion::versionString(cut.get(), size, L"ProductName");
        EXPECT_TRUE(name.empty()) << "cut at " << size << ": " << tstrings::encodeUtf8(name);
    }
    // Lengths that claim more than there is, or less than a header.
    for (const uint16_t length : {uint16_t{0}, uint16_t{5}, static_cast<uint16_t>(block.size() + 2)}) {
        std::vector<char> bad = block;
        bad[0] = static_cast<char>(length & 0xFF);
        bad[1] = static_cast<char>(length >> 8);
        EXPECT_EQ(L"", ModuleVersion::versionString(bad.data(), bad.size(), L"ProductName")) << length;
    }
}

TEST(ModuleVersion, ReadsAModulesOwnBlock) {
    // The system's DLLs carry a version block; this test program carries none.
    EXPECT_NE(L"", ModuleVersion::versionString(GetModuleHandleW(L"kernel32.dll"), L"ProductName"));
    EXPECT_EQ(L"", ModuleVersion::versionString(GetModuleHandleW(nullptr), L"ProductName"));
}
