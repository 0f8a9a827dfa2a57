#include "PackTestSupport.h"
#include "ResourceSection.h"
#include "UniqueHandle.h"

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
    tstring text;
    for (uint16_t i = 0; i < loadU16(name); ++i) {
        text += static_cast<wchar_t>(loadU16(name + 2 + 2 * i));
    }
    return tstrings::encodeUtf8(text);
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
    tree.put(L"custom", L"second", 0, blockOf(""));
    tree.put(ResourceTypes::rcData, L"PRODUCT_CODE", 0, blockOf("{code}"));
    tree.put(ResourceTypes::rcData, L"MSI", 0x409, blockOf("package, odd size"));
    tree.put(ResourceTypes::rcData, L"MSI", 0, blockOf("neutral"));
    tree.put(ResourceTypes::icon, 2, 0, blockOf("icon 2"));
    tree.put(ResourceTypes::rcData, 7, 0, blockOf("7"));
    tree.put(L"custom", L"first", 0, blockOf("1"));
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

class ResourceSectionLoadTest : public TempDirTest {};

TEST_F(ResourceSectionLoadTest, TheLoaderFindsEveryResourceByNameAndNumber) {
    // Enough entries that a binary search over a wrongly ordered table misses some.
    ResourceTree tree;
    std::vector<std::pair<ResourceId, std::string>> expected;
    for (int i = 0; i < 40; ++i) {
        const int key = (i * 17) % 40;
        const tstring name = (tstrings::MessageBuilder() << (key % 2 ? L"name_" : L"N") << key).str();
        tree.put(ResourceTypes::rcData, name, 0, blockOf("named " + std::to_string(key)));
        tree.put(ResourceTypes::rcData, static_cast<WORD>(1000 - 7 * key), 0, blockOf("numbered " + std::to_string(key)));
        expected.emplace_back(name, "named " + std::to_string(key));
        expected.emplace_back(static_cast<WORD>(1000 - 7 * key), "numbered " + std::to_string(key));
    }
    packFile(packStubPath(), pathOf(L"many.exe"), tree);

    UniqueModule module(LoadLibraryExW(pathOf(L"many.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << describeWinError(GetLastError());
    for (const auto& [id, bytes] : expected) {
        const tstring lookup = id.isNumber() ? L"#" + std::to_wstring(id.number()) : tstrings::lowercase(id.name());
        HRSRC found = FindResourceW(module.get(), lookup.c_str(), MAKEINTRESOURCEW(10));
        ASSERT_NE(nullptr, found) << tstrings::encodeUtf8(lookup);
        const char* data = static_cast<const char*>(LockResource(LoadResource(module.get(), found)));
        EXPECT_EQ(bytes, std::string(data, SizeofResource(module.get(), found)));
    }
    EXPECT_NE(nullptr, FindResourceW(module.get(), L"TERVO_LAUNCHER", MAKEINTRESOURCEW(10)));
    EXPECT_EQ(nullptr, FindResourceW(module.get(), L"N41", MAKEINTRESOURCEW(10)));
}
