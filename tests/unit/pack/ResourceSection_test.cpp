#include "PackTestSupport.h"
#include "ResourceSection.h"
#include "Utf.h"

using namespace pack;

namespace {

struct Item {
    std::string path; // "TYPE/NAME/LANGUAGE"
    std::string bytes;
    uint32_t rva;
};

std::string idText(const std::string& section, uint32_t id) {
    if (!(id & 0x80000000)) {
        return std::to_string(id);
    }
    const char* name = section.data() + (id & 0x7FFFFFFF);
    std::u16string text;
    for (uint16_t i = 0; i < loadU16(name); ++i) {
        text += static_cast<char16_t>(loadU16(name + 2 + 2 * i));
    }
    return toUtf8(text);
}

// Walks the section as the loader does, checking that every table lists its named entries first,
// sorted, and then its numbered ones ascending.
void walk(const std::string& section, uint32_t rva, uint32_t offset, int level, const std::string& path, std::vector<Item>& items) {
    const char* table = section.data() + offset;
    const uint16_t named = loadU16(table + 12);
    const uint16_t count = static_cast<uint16_t>(named + loadU16(table + 14));
    std::vector<uint32_t> ids;
    for (uint16_t i = 0; i < count; ++i) {
        const uint32_t id = loadU32(table + 16 + 8 * i);
        const uint32_t target = loadU32(table + 16 + 8 * i + 4);
        EXPECT_EQ(i < named, (id & 0x80000000) != 0) << path;
        if (i > 0 && i != named) {
            if (i < named) {
                EXPECT_LT(idText(section, ids.back()), idText(section, id)) << path;
            } else {
                EXPECT_LT(ids.back(), id) << path;
            }
        }
        ids.push_back(id);
        const std::string here = path + (path.empty() ? "" : "/") + idText(section, id);
        EXPECT_EQ(level < 2, (target & 0x80000000) != 0) << here;
        if (level < 2) {
            walk(section, rva, target & 0x7FFFFFFF, level + 1, here, items);
        } else {
            const uint32_t dataRva = loadU32(section.data() + target);
            const uint32_t size = loadU32(section.data() + target + 4);
            items.push_back({here, section.substr(dataRva - rva, size), dataRva});
        }
    }
}

ResourceTree sampleTree() {
    ResourceTree tree;
    tree.put(ResourceTypes::rcData, 300, 0, blockOf("three hundred"));
    tree.put(u"custom", u"second", 0, blockOf(""));
    tree.put(ResourceTypes::rcData, u"PRODUCT_CODE", 0, blockOf("{code}"));
    tree.put(ResourceTypes::rcData, u"MSI", 0x409, blockOf("package, odd size"));
    tree.put(ResourceTypes::rcData, u"MSI", 0, blockOf("neutral"));
    tree.put(ResourceTypes::icon, 2, 0, blockOf("icon 2"));
    tree.put(ResourceTypes::rcData, 7, 0, blockOf("7"));
    tree.put(u"custom", u"first", 0, blockOf("1"));
    return tree;
}

} // namespace

TEST(ResourceSection, LaysOutSortedTablesAndAlignedData) {
    const uint32_t rva = 0x12000;
    const ResourceSection section(sampleTree(), rva);
    MemorySink sink;
    section.writeTo(sink);
    ASSERT_EQ(section.size(), sink.bytes.size());
    EXPECT_EQ(0u, section.size() % ResourceSection::dataAlignment);

    std::vector<Item> items;
    walk(sink.bytes, rva, 0, 0, "", items);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CUSTOM/FIRST/0", "1"},          {"CUSTOM/SECOND/0", ""},
        {"3/2/0", "icon 2"},              {"10/MSI/0", "neutral"},
        {"10/MSI/1033", "package, odd size"}, {"10/PRODUCT_CODE/0", "{code}"},
        {"10/7/0", "7"},                  {"10/300/0", "three hundred"},
    };
    ASSERT_EQ(expected.size(), items.size());
    uint32_t previousEnd = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(expected[i].first, items[i].path);
        EXPECT_EQ(expected[i].second, items[i].bytes) << items[i].path;
        EXPECT_EQ(0u, items[i].rva % ResourceSection::dataAlignment) << items[i].path;
        EXPECT_GE(items[i].rva, previousEnd) << items[i].path;
        previousEnd = items[i].rva + static_cast<uint32_t>(items[i].bytes.size());
    }
    EXPECT_LE(previousEnd, rva + section.size());
    const std::vector<std::pair<ResourceId, std::string>> firsts = {
        {u"MSI", "neutral"}, {u"PRODUCT_CODE", "{code}"}, {300, "three hundred"}};
    for (const auto& [name, bytes] : firsts) {
        const std::optional<uint32_t> offset = section.dataOffset(ResourceTypes::rcData, name);
        ASSERT_TRUE(offset.has_value()) << name.describe();
        EXPECT_EQ(bytes, sink.bytes.substr(*offset, bytes.size())) << name.describe();
    }
    EXPECT_FALSE(section.dataOffset(ResourceTypes::rcData, u"MSI_CHECKSUM").has_value());
}

TEST(ResourceSection, TheDataOfOneResourceCanComeLast) {
    // The packer puts the package last, so that a launcher cut short still holds the rest.
    const uint32_t rva = 0x12000;
    const ResourceSection section(sampleTree(), rva, ResourceKey{ResourceTypes::rcData, u"MSI"});
    MemorySink sink;
    section.writeTo(sink);
    ASSERT_EQ(section.size(), sink.bytes.size());
    std::vector<Item> items;
    walk(sink.bytes, rva, 0, 0, "", items);
    ASSERT_EQ(8u, items.size());
    uint32_t othersEnd = 0;
    uint32_t packageStart = UINT32_MAX;
    for (const Item& item : items) {
        EXPECT_EQ(0u, item.rva % ResourceSection::dataAlignment) << item.path;
        if (item.path.rfind("10/MSI/", 0) == 0) {
            packageStart = std::min(packageStart, item.rva);
        } else {
            othersEnd = std::max(othersEnd, item.rva + static_cast<uint32_t>(item.bytes.size()));
        }
    }
    EXPECT_LE(othersEnd, packageStart);
    EXPECT_EQ("10/MSI/0", items[3].path) << "the directory keeps its order";
    EXPECT_EQ("neutral", items[3].bytes);
    EXPECT_EQ("package, odd size", items[4].bytes);
    EXPECT_EQ(items[3].rva - rva, section.dataOffset(ResourceTypes::rcData, u"MSI").value_or(0));
    EXPECT_EQ(rva + section.size(), alignUp(items[4].rva + items[4].bytes.size(), ResourceSection::dataAlignment));
}

TEST(ResourceSection, EmptyTreeIsOneEmptyRootTable) {
    const ResourceSection section(ResourceTree(), 0x1000);
    MemorySink sink;
    section.writeTo(sink);
    EXPECT_EQ(std::string(16, '\0'), sink.bytes);
}

TEST(ResourceSection, RefusesASectionPastFourGigabytes) {
    EXPECT_THROW(ResourceSection(sampleTree(), 0xFFFFFF00), std::runtime_error);
    EXPECT_NO_THROW(ResourceSection(sampleTree(), 0x7FFF0000));
}
