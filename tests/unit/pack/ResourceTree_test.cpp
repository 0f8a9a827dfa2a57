#include <algorithm>

#include "PackTestSupport.h"
#include "ResourceTree.h"

using namespace pack;

namespace {

std::string text(const DataBlock* block) { return block ? block->text() : "(none)"; }

} // namespace

TEST(ResourceId, NamesComeFirstInUpperCaseThenNumbersAscending) {
    const std::vector<ResourceId> sorted = {u"ABC", u"ABCD", u"ABD", u"Z_LAST", 1, 2, 10, 300, 65535};
    std::vector<ResourceId> shuffled = {300, u"z_Last", 10, u"abd", 65535, u"Abc", 1, u"abcd", 2};
    std::sort(shuffled.begin(), shuffled.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
        EXPECT_EQ(sorted[i], shuffled[i]) << i << ": " << shuffled[i].describe();
    }
    EXPECT_EQ(u"Z_LAST", ResourceId(u"z_last").name());
    EXPECT_EQ("#16", ResourceId(16).describe());
    EXPECT_EQ("ÄÖ", ResourceId(u"äö").describe());
    EXPECT_FALSE(ResourceId(u"16") == ResourceId(16));
    // The system's upper case for each kind of letter the mapping covers; the rest stays.
    const struct {
        std::u16string name;
        std::u16string upper;
    } cases[] = {
        {u"äöÿþ÷", u"ÄÖŸÞ÷"},     {u"āăĺľźžŋ", u"ĀĂĹĽŹŽŊ"}, {u"ıĸŉ", u"ıĸŉ"},   {u"αβωςϋ", u"ΑΒΩΣΫ"},
        {u"жяёџѡҋҿ", u"ЖЯЁЏѠҊҾ"},  {u"ａｚ", u"ＡＺ"},        {u"1_-{}", u"1_-{}"}, {u"日本", u"日本"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.upper, ResourceId(c.name).name()) << ResourceId(c.name).describe();
    }
}

TEST(ResourceId, RefusesEmptyAndOverlongNames) {
    for (const std::u16string& name : {std::u16string(), std::u16string(65536, u'A')}) {
        EXPECT_THROW(ResourceId{name}, std::runtime_error) << name.size();
    }
    EXPECT_EQ(65535u, ResourceId(std::u16string(65535, u'A')).name().size());
}

TEST(ResourceTree, ReplacingANameDropsAllItsLanguagesAndKeepsTheRest) {
    ResourceTree stub;
    stub.put(ResourceTypes::version, 1, 0x409, blockOf("en"));
    stub.put(ResourceTypes::version, 1, 0x40C, blockOf("fr"));
    stub.put(ResourceTypes::rcData, ResourceNames::launcherMarker, 0x409, blockOf("marker"));
    stub.put(ResourceTypes::rcData, ResourceNames::package, 0, blockOf("old package"));
    stub.put(ResourceTypes::manifest, 1, 0x409, blockOf("manifest"));

    ResourceTree additions;
    additions.put(ResourceTypes::version, 1, 0x407, blockOf("de"));
    additions.put(ResourceTypes::rcData, u"msi", 0, blockOf("new package"));
    additions.put(ResourceTypes::rcData, ResourceNames::productCode, 0, blockOf("code"));
    stub.replaceFrom(additions);

    EXPECT_EQ(5u, stub.count());
    EXPECT_EQ("de", text(stub.find(ResourceTypes::version, 1)));
    EXPECT_EQ("(none)", text(stub.find(ResourceTypes::version, 1, 0x409)));
    EXPECT_EQ("new package", text(stub.find(ResourceTypes::rcData, ResourceNames::package)));
    EXPECT_EQ("code", text(stub.find(ResourceTypes::rcData, ResourceNames::productCode, 0)));
    EXPECT_EQ("marker", text(stub.find(ResourceTypes::rcData, ResourceNames::launcherMarker)));
    EXPECT_EQ("manifest", text(stub.find(ResourceTypes::manifest, 1, 0x409)));
}

TEST(ResourceTree, PutAddsALanguageReplaceDropsTheOthersAndEmptiedTypesGo) {
    ResourceTree tree;
    tree.put(ResourceTypes::rcData, u"A", 1, blockOf("one"));
    tree.put(ResourceTypes::rcData, u"A", 2, blockOf("two"));
    EXPECT_EQ(2u, tree.count());
    tree.replace(ResourceTypes::rcData, u"a", 3, blockOf("three"));
    EXPECT_EQ(1u, tree.count());
    EXPECT_EQ("three", text(tree.find(ResourceTypes::rcData, u"A", 3)));
    EXPECT_TRUE(tree.remove(ResourceTypes::rcData, u"A"));
    EXPECT_FALSE(tree.remove(ResourceTypes::rcData, u"A"));
    EXPECT_TRUE(tree.types().empty()) << "an emptied type leaves no empty directory";
}
