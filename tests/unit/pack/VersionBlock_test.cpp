#include "PackTestSupport.h"
#include "Utf.h"
#include "VersionBlock.h"

using namespace pack;

namespace {

const VersionStrings sample = {"Tervo Sample Ääni", "2.5.1", "Tervo Oy", "Sample setup — installer", "10.0.1.45", "setup.exe"};

} // namespace

TEST(ParseVersion, AcceptsOneToFourNumbersUpTo65535) {
    const struct {
        const char* text;
        std::array<uint16_t, 4> parts;
    } cases[] = {
        {"1", {1, 0, 0, 0}},          {"1.2.3", {1, 2, 3, 0}},           {"10.0.1.45", {10, 0, 1, 45}},
        {"0.0.0.0", {0, 0, 0, 0}},    {"65535.65535.65535.65535", {65535, 65535, 65535, 65535}},
        {"007.08", {7, 8, 0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.parts, parseVersion(c.text).parts) << c.text;
    }
    const FixedVersion version = parseVersion("1.2.3.4");
    EXPECT_EQ(0x00010002u, version.mostSignificant());
    EXPECT_EQ(0x00030004u, version.leastSignificant());
}

TEST(ParseVersion, RefusesEverythingElseNamingTheText) {
    for (const char* text : {"", ".", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1.99999999999", "1.-2", " 1", "1 ", "1a",
                             "+1", "v1.2", "1,2", "１.２"}) {
        const std::string message = refusalOf([&] { parseVersion(text); });
        EXPECT_EQ(0u, message.find("Invalid version [" + std::string(text) + "]: expected one to four numbers")) << message;
    }
    VersionStrings bad = sample;
    bad.productVersion = "1.2.x";
    EXPECT_THROW(buildVersionBlock(bad), std::runtime_error);
    bad = sample;
    bad.fileVersion = "1.2.3.4.5";
    EXPECT_THROW(buildVersionBlock(bad), std::runtime_error);
}

TEST(VersionBlock, LaysOutTheNodesWithTheirLengthsAndTexts) {
    const std::vector<char> block = buildVersionBlock(sample);
    const std::string bytes(block.begin(), block.end());
    EXPECT_EQ(block.size(), loadU16(block.data())) << "the root's length covers the block";
    EXPECT_EQ(52u, loadU16(block.data() + 2)) << "the fixed information follows the root's key";
    EXPECT_EQ(0xFEEF04BDu, loadU32(block.data() + 40));
    EXPECT_EQ(0x000A0000u, loadU32(block.data() + 48)) << "file version 10.0";
    EXPECT_EQ(0x0001002Du, loadU32(block.data() + 52)) << "file version .1.45";
    EXPECT_EQ(0x00020005u, loadU32(block.data() + 56)) << "product version 2.5";
    // Each text as its key, the padding to 4 bytes, then its UTF-16 value and terminator.
    for (const auto& [key, value] : {std::pair{u"ProductName", sample.productName}, {u"CompanyName", sample.companyName},
                                     {u"FileDescription", sample.fileDescription}, {u"OriginalFilename", sample.originalFilename}}) {
        std::vector<char> node;
        appendUtf16(node, std::u16string(key) + u'\0');
        const size_t at = bytes.find(std::string(node.begin(), node.end()));
        ASSERT_NE(std::string::npos, at) << toUtf8(key);
        const size_t valueAt = static_cast<size_t>(alignUp(at + node.size(), 4));
        EXPECT_EQ(toUtf16(value).size() + 1, loadU16(block.data() + at - 4)) << toUtf8(key);
        std::vector<char> text;
        appendUtf16(text, toUtf16(value) + u'\0');
        EXPECT_EQ(std::string(text.begin(), text.end()), bytes.substr(valueAt, text.size())) << toUtf8(key);
    }
}

TEST(VersionBlock, RefusesATextTooLongNamingItAndTheLimit) {
    VersionStrings longest = sample;
    for (std::string* text : {&longest.productName, &longest.companyName, &longest.fileDescription, &longest.originalFilename}) {
        *text = std::string(maxVersionTextLength, 'x');
    }
    EXPECT_GT(buildVersionBlock(longest).size(), 6 * maxVersionTextLength) << "six texts at the limit still fit";
    VersionStrings tooLong = sample;
    tooLong.companyName = std::string(maxVersionTextLength - 1, 'x') + "ää";
    EXPECT_EQ("The version block's CompanyName text has 4097 characters; at most 4096 fit",
              refusalOf([&] { buildVersionBlock(tooLong); }));
}

TEST(VersionBlock, ItsTextsReadBackByName) {
    const std::vector<char> block = buildVersionBlock(sample);
    const std::map<std::string, std::string> strings = readVersionStrings(block);
    EXPECT_EQ((std::map<std::string, std::string>{{"CompanyName", "Tervo Oy"},
                                                  {"FileDescription", "Sample setup — installer"},
                                                  {"FileVersion", "10.0.1.45"},
                                                  {"OriginalFilename", "setup.exe"},
                                                  {"ProductName", "Tervo Sample Ääni"},
                                                  {"ProductVersion", "2.5.1"}}),
              strings);
    // Cut anywhere, or garbage: what can be read, never more, and never a failure.
    for (size_t size = 0; size < block.size(); size += 7) {
        const std::map<std::string, std::string> part = readVersionStrings(std::vector<char>(block.begin(), block.begin() + size));
        for (const auto& [key, value] : part) {
            EXPECT_EQ(strings.at(key), value) << size;
        }
    }
    EXPECT_TRUE(readVersionStrings(std::vector<char>(200, '\x7f')).empty());
    EXPECT_TRUE(tryParseVersion("1.2.3").has_value());
    EXPECT_FALSE(tryParseVersion("1.0.0-beta").has_value());
}
