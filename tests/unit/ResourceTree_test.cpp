#include <algorithm>

#include "PackTestSupport.h"
#include "ResourceTree.h"

using namespace pack;

namespace {

std::string text(const DataBlock* block) {
    if (!block) {
        return "(none)";
    }
    const std::vector<char> bytes = block->load();
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(ResourceId, NamesComeFirstInUpperCaseThenNumbersAscending) {
    const std::vector<ResourceId> sorted = {L"ABC", L"ABCD", L"ABD", L"Z_LAST", 1, 2, 10, 300, 65535};
    std::vector<ResourceId> shuffled = {300, L"z_Last", 10, L"abd", 65535, L"Abc", 1, L"abcd", 2};
    std::sort(shuffled.begin(), shuffled.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
        EXPECT_EQ(sorted[i], shuffled[i]) << i << ": " << tstrings::encodeUtf8(shuffled[i].describe());
    }
    EXPECT_EQ(L"Z_LAST", ResourceId(L"z_last").name());
    EXPECT_EQ(L"ÄÖ", ResourceId(L"äö").name());
    EXPECT_EQ(L"#16", ResourceId(16).describe());
    EXPECT_FALSE(ResourceId(L"16") == ResourceId(16));
}

TEST(ResourceId, RefusesEmptyAndOverlongNames) {
    for (const tstring& name : {tstring(), tstring(65536, L'A')}) {
        EXPECT_THROW(ResourceId{name}, std::runtime_error) << name.size();
    }
    EXPECT_EQ(65535u, ResourceId(tstring(65535, L'A')).name().size());
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
    additions.put(ResourceTypes::rcData, L"msi", 0, blockOf("new package"));
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
    tree.put(ResourceTypes::rcData, L"A", 1, blockOf("one"));
    tree.put(ResourceTypes::rcData, L"A", 2, blockOf("two"));
    EXPECT_EQ(2u, tree.count());
    tree.replace(ResourceTypes::rcData, L"a", 3, blockOf("three"));
    EXPECT_EQ(1u, tree.count());
    EXPECT_EQ("three", text(tree.find(ResourceTypes::rcData, L"A", 3)));
    EXPECT_TRUE(tree.remove(ResourceTypes::rcData, L"A"));
    EXPECT_FALSE(tree.remove(ResourceTypes::rcData, L"A"));
    EXPECT_TRUE(tree.types().empty()) << "an emptied type leaves no empty directory";
}
