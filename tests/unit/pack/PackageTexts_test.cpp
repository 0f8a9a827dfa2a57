// How the packer turns the Property values it reads from a package's bytes into its UTF-8 texts,
// the same on both systems.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CompoundFileBuilder.h"
#include "PackageTexts.h"
#include "Platform.h"

namespace {

const std::string replacement = "\xEF\xBF\xBD";

// A package held in memory, read as the packers read files.
class MemoryInput : public pack::InputFile {
public:
    explicit MemoryInput(std::string bytes) : bytes(std::move(bytes)) {}
    uint64_t size() const override { return bytes.size(); }
    void readAt(uint64_t offset, char* buffer, size_t count) const override {
        if (offset > bytes.size() || count > bytes.size() - offset) {
            throw std::runtime_error("read past the end");
        }
        bytes.copy(buffer, count, static_cast<size_t>(offset));
    }

private:
    std::string bytes;
};

} // namespace

TEST(PackageTexts, DecodesByTheDatabaseCodepage) {
    const struct {
        std::string bytes;
        uint32_t codepage;
        std::optional<std::string> expected;
        bool replaced;
    } cases[] = {
        {"Plain {GUID} 1.0", 65001, "Plain {GUID} 1.0", false},
        {"Plain", 1251, "Plain", false},
        {"", 932, "", false},
        {"\xC3\x84\xC3\xA4ni \xF0\x9F\x98\x80", 65001, "\xC3\x84\xC3\xA4ni \xF0\x9F\x98\x80", false},
        {"Bad \xFF name", 65001, "Bad " + replacement + " name", true},
        {"cut \xC3", 65001, "cut " + replacement, true},
        {"\xE2\x9C", 65001, replacement, true},
        {"\xC0\xAF", 65001, replacement + replacement, true},
        {"\xED\xA0\x80", 65001, replacement + replacement + replacement, true},
        {"\xEF\xBF\xBD stored", 65001, "\xEF\xBF\xBD stored", false},
        {"\xC4\xE4ni", 0, "\xC3\x84\xC3\xA4ni", false},
        {"\xC4\xE4ni", 1252, "\xC3\x84\xC3\xA4ni", false},
        {"\x80 \x9F \xA0 \xFF", 1252, "\xE2\x82\xAC \xC5\xB8 \xC2\xA0 \xC3\xBF", false},
        {"\x81\x8D\x8F\x90\x9D", 0, "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", false},
        {"\xC0\xEB\xE8", 1251, std::nullopt, false},
        {"\x82\xA0", 932, std::nullopt, false},
    };
    for (const auto& c : cases) {
        bool replaced = false;
        EXPECT_EQ(c.expected, pack::decodeStoredText(c.bytes, c.codepage, replaced)) << c.bytes << " in " << c.codepage;
        EXPECT_EQ(c.replaced, replaced) << c.bytes << " in " << c.codepage;
    }
    // The flag gathers over several values.
    bool replaced = true;
    pack::decodeStoredText("fine", 65001, replaced);
    EXPECT_TRUE(replaced);
}

TEST(PackageTexts, SetsTheFactsFromThePackageBytes) {
    const cfb::Database invalid{65001, false,
                                {{"ProductCode", "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}"}, {"ProductName", "Bad \xFF\xFE"},
                                 {"ProductVersion", "1.2"}, {"Manufacturer", "Maker \xC3"}, {"Other", "\xFF"}}};
    pack::PackageFacts facts;
    facts.upgradeCode = "left from the library";
    ASSERT_TRUE(pack::readPropertyTexts(MemoryInput(cfb::databaseFile(invalid)), facts));
    EXPECT_EQ("{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}", facts.productCode);
    EXPECT_EQ("", facts.upgradeCode);
    EXPECT_EQ("Bad " + replacement + replacement, facts.productName);
    EXPECT_EQ("1.2", facts.productVersion);
    EXPECT_EQ("Maker " + replacement, facts.manufacturer);
    EXPECT_EQ((std::vector<std::string>{"ProductName", "Manufacturer"}), facts.replacedTexts);
    EXPECT_EQ("Warning: the package's ProductName, Manufacturer are not valid UTF-8, the package's codepage (65001): each "
              "invalid byte sequence is read as U+FFFD",
              pack::replacedTextsWarning(facts));

    // Another codepage's letters: the library's text stays; ASCII is taken from the bytes.
    const cfb::Database cyrillic{1251, false, {{"ProductName", "\xC0\xEB\xE8"}, {"Manufacturer", "Tervo"}}};
    pack::PackageFacts library;
    library.productName = "\xD0\x90\xD0\xBB\xD0\xB8";
    library.manufacturer = "stale";
    ASSERT_TRUE(pack::readPropertyTexts(MemoryInput(cfb::databaseFile(cyrillic)), library));
    EXPECT_EQ("\xD0\x90\xD0\xBB\xD0\xB8", library.productName);
    EXPECT_EQ("Tervo", library.manufacturer);
    EXPECT_TRUE(library.replacedTexts.empty());
    EXPECT_EQ("", pack::replacedTextsWarning(library));

    // Bytes that are no database leave the facts as they were.
    pack::PackageFacts untouched;
    untouched.productName = "kept";
    std::string why;
    EXPECT_FALSE(pack::readPropertyTexts(MemoryInput(std::string(4096, 'x')), untouched, &why));
    EXPECT_EQ("kept", untouched.productName);
    EXPECT_FALSE(why.empty());

    pack::PackageFacts one;
    one.replacedTexts = {"ProductName"};
    EXPECT_NE(std::string::npos, pack::replacedTextsWarning(one).find("ProductName is not valid UTF-8"));
}
