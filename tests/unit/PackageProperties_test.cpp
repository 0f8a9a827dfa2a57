// The package reader against the platform's installer library (msi.dll under Wine, libmsi on
// Linux) on the packer's test packages, the 50 MB package and databases written here with
// sectors of 512 and 4096 bytes; then against damage of every layer it reads, which must give
// nullopt (or the intact result) without reading outside the file, hanging or crashing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "CompoundFileBuilder.h"
#include "PackTestSupport.h"
#include "PackageProperties.h"
#include "PackageTexts.h"
#include "Utf.h"

#ifdef _WIN32
#include "MsiDb.h"
#else
#include <libmsi.h>
#endif

using PackageProperties::ByteSource;
using PackageProperties::MemorySource;

namespace {

// Counts what is read through it, fails every read from the `failFrom`-th on, and shows the
// 4-byte `patches` in place of the bytes beneath.
class WatchedSource : public ByteSource {
public:
    explicit WatchedSource(const ByteSource& base) : base(base) {}
    uint64_t size() const override { return base.size(); }
    bool read(uint64_t offset, void* into, size_t count) const override {
        if (reads++ >= failFrom || !base.read(offset, into, count)) {
            return false;
        }
        bytesRead += count;
        for (const auto& [at, value] : patches) {
            for (uint64_t i = 0; i < 4; ++i) {
                if (at + i >= offset && at + i < offset + count) {
                    static_cast<char*>(into)[at + i - offset] = static_cast<char>(value >> (8 * i));
                }
            }
        }
        return true;
    }

    const ByteSource& base;
    std::map<uint64_t, uint32_t> patches;
    size_t failFrom = SIZE_MAX;
    mutable size_t reads = 0;
    mutable uint64_t bytesRead = 0;
};

// Bytes and a source over them.
struct Bytes {
    explicit Bytes(std::string bytes) : bytes(std::move(bytes)) {}
    Bytes(const Bytes&) = delete;
    std::string bytes;
    MemorySource source{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
};

std::string packagePath(const std::string& name) { return std::string(TERVO_PACK_DATA) + "/" + name; }

std::optional<PackageProperties::Properties> readFrom(const std::string& bytes, std::string* why = nullptr) {
    return PackageProperties::read(MemorySource(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), {}, why);
}

// The reader's rows as UTF-8 text, decoded as the packers decode them.
std::map<std::string, std::string> decoded(const PackageProperties::Properties& properties) {
    std::map<std::string, std::string> rows;
    for (const auto& [name, value] : properties.values) {
        bool replaced = false;
        rows[name] = pack::decodeStoredText(value, properties.codepage, replaced).value_or("(not converted)");
    }
    return rows;
}

// Rows short enough for a failure message.
std::string shown(const std::map<std::string, std::string>& rows) {
    std::string text;
    for (const auto& [name, value] : rows) {
        text += name + "=" + value.substr(0, 40) + (value.size() > 40 ? "...(" + std::to_string(value.size()) + ")" : "") + "; ";
    }
    return text;
}

#ifdef _WIN32
// The Property table as msi.dll reads it.
std::map<std::string, std::string> libraryProperties(const std::string& path) {
    const auto narrow = [](const tstring& text) { return pack::toUtf8(std::u16string(text.begin(), text.end())); };
    const std::u16string wide = pack::toUtf16(path);
    const msi::Database database(tstring(wide.begin(), wide.end()));
    msi::DatabaseView view(database, L"SELECT `Property`, `Value` FROM `Property`");
    std::map<std::string, std::string> rows;
    for (msi::DatabaseRecord record = view.tryFetch(); !record.empty(); record = view.tryFetch()) {
        rows.emplace(narrow(record.getString(1)), narrow(record.getString(2)));
    }
    return rows;
}
#else
// The Property table as libmsi reads it.
std::map<std::string, std::string> libraryProperties(const std::string& path) {
    std::map<std::string, std::string> rows;
    GError* error = nullptr;
    LibmsiDatabase* database = libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &error);
    LibmsiQuery* query = database ? libmsi_query_new(database, "SELECT `Property`, `Value` FROM `Property`", &error) : nullptr;
    if (!query || !libmsi_query_execute(query, nullptr, &error)) {
        ADD_FAILURE() << "libmsi cannot read the Property table of " << path << ": " << (error ? error->message : "");
    }
    while (LibmsiRecord* record = query ? libmsi_query_fetch(query, &error) : nullptr) {
        gchar* name = libmsi_record_get_string(record, 1);
        gchar* value = libmsi_record_get_string(record, 2);
        rows.emplace(name ? name : "", value ? value : "");
        g_free(name), g_free(value), g_object_unref(record);
    }
    g_clear_error(&error);
    query ? g_object_unref(query) : void();
    database ? g_object_unref(database) : void();
    return rows;
}
#endif

// Valid UTF-8 above U+FFFF, strings over 64 KB (one of exactly 65536 bytes), an empty value and
// rows after the long ones.
std::vector<std::pair<std::string, std::string>> richRows() {
    return {{"ProductName", "Tervo \xC3\x84\xC3\xA4ni \xE2\x9C\x93 \xF0\x9F\x98\x80"}, {"Manufacturer", std::string(70000, 'm')},
            {"Empty", ""}, {"ProductVersion", "2.5.7"}, {"After", std::string(65536, 'a')}, {"Last", "last"}};
}

// Where the directory entry of a stream lies: its name begins the entry and occurs nowhere else.
size_t entryOffset(const std::string& file, const std::u16string& name) {
    std::string pattern;
    for (const char16_t c : name) {
        cfb::append(pattern, c, 2);
    }
    const size_t at = file.find(pattern);
    EXPECT_EQ(std::string::npos, file.find(pattern, at + 1));
    return at;
}

} // namespace

class PackageReaderTest : public PackTempDirTest {};

TEST_F(PackageReaderTest, ReadsWhatTheInstallerLibraryReads) {
    std::vector<std::string> packages{TERVO_E2E_LARGE_MSI};
    for (const char* name : {"basic.msi", "unicode.msi", "quoted.msi", "longname.msi", "nocode.msi", "noupgrade.msi",
                             "badupgrade.msi", "beta.msi", "external.msi", "uncompressed.msi"}) {
        packages.push_back(packagePath(name));
    }
    // Version 3 and 4, codepages 65001 and 1252, references of 3 bytes by the flag alone and for
    // strings past 65535.
    const struct {
        const char* name;
        cfb::Database database;
        unsigned shift;
    } written[] = {
        {"v3-utf8.msi", {65001, false, richRows()}, 9},
        {"v4-utf8.msi", {65001, false, richRows()}, 12},
        {"v3-long-references.msi", {65001, true, richRows()}, 9},
        {"v4-many-strings.msi", {1252, false, {{"ProductName", "\xC4\xE4ni \x80"}, {"ALLUSERS", "1"}}, 70000}, 12},
        {"v3-many-strings.msi", {1252, false, richRows(), 70000}, 9},
    };
    for (const auto& file : written) {
        writeBytes(pathOf(file.name), cfb::databaseFile(file.database, file.shift));
        packages.push_back(pathOf(file.name));
        EXPECT_EQ(file.database.codepage, readFrom(cfb::databaseFile(file.database, file.shift))->codepage) << file.name;
    }
    for (const std::string& path : packages) {
        std::string why;
        const auto properties = readFrom(readBytes(path), &why);
        ASSERT_TRUE(properties) << path << ": " << why;
        const auto expected = libraryProperties(path);
        EXPECT_TRUE(!expected.empty() && expected == decoded(*properties))
            << path << "\nlibrary: " << shown(expected) << "\nreader:  " << shown(decoded(*properties));
    }
    EXPECT_EQ(0u, readFrom(readBytes(packagePath("basic.msi")))->codepage);
}

TEST_F(PackageReaderTest, ReadsOnlyTheRowsAskedAndTheFirstOfAName) {
    const Bytes file(readBytes(packagePath("longname.msi")));
    const auto properties = PackageProperties::read(file.source, {"ProductName", "Manufacturer", "NoSuchRow"});
    ASSERT_TRUE(properties);
    EXPECT_EQ((std::map<std::string, std::string>{{"Manufacturer", "Tervo Tests"}, {"ProductName", std::string(20000, 'x')}}),
              properties->values);
    const auto twice = readFrom(cfb::databaseFile({0, false, {{"A", "first"}, {"A", "second"}}}));
    EXPECT_EQ("first", twice->values.at("A"));
}

TEST_F(PackageReaderTest, TouchesFewBytesOfALargePackage) {
    const Bytes file(readBytes(TERVO_E2E_LARGE_MSI));
    // The directory's FAT entry lies in a FAT sector that only the DIFAT chain lists.
    ASSERT_GT(cfb::get32(file.bytes, 72), 0u);
    ASSERT_GE(cfb::get32(file.bytes, 48), 109u * 128);
    const WatchedSource watched(file.source);
    const auto properties = PackageProperties::read(watched, {"ProductName"});
    ASSERT_TRUE(properties);
    EXPECT_EQ("Tervo E2E Large", properties->values.at("ProductName"));
    EXPECT_GT(file.bytes.size(), 50'000'000u);
    EXPECT_LT(watched.bytesRead, 64u * 1024) << watched.reads << " reads";
    EXPECT_LT(watched.reads, 200u);
}

TEST_F(PackageReaderTest, TakesOnlyStreamsOfTheRootStorage) {
    const cfb::Node sub{u"Sub", "", true, cfb::tableNodes(cfb::databaseStreams({0, false, {{"ProductName", "sub-storage"}}}))};
    for (const auto& [rows, expected] : std::vector<std::pair<std::vector<std::pair<std::string, std::string>>, std::map<std::string, std::string>>>{
             {{{"ProductName", "root"}}, {{"ProductName", "root"}}}, {{}, {}}}) {
        std::vector<cfb::Node> nodes = cfb::tableNodes(cfb::databaseStreams({0, false, rows}));
        nodes.push_back(sub);
        const auto properties = readFrom(cfb::compoundFile(nodes));
        ASSERT_TRUE(properties);
        EXPECT_EQ(expected, properties->values);
    }
}

TEST_F(PackageReaderTest, RefusesTablesOfTheWrongShape) {
    using Streams = std::map<std::string, std::string>;
    const struct {
        const char* what;
        std::function<void(cfb::Database&)> schema;
        std::function<void(Streams&)> change;
        bool refused;
    } cases[] = {
        {"intact", {}, {}, false},
        {"no _StringPool", {}, [](Streams& s) { s.erase("_StringPool"); }, true},
        {"no _StringData", {}, [](Streams& s) { s.erase("_StringData"); }, true},
        {"no _Columns", {}, [](Streams& s) { s.erase("_Columns"); }, true},
        {"Property not a whole number of rows", {}, [](Streams& s) { s["Property"] += '\0'; }, true},
        {"_Columns not a whole number of rows", {}, [](Streams& s) { s["_Columns"].pop_back(); }, true},
        {"pool not a whole number of entries", {}, [](Streams& s) { s["_StringPool"] += '\0'; }, true},
        {"reference past the pool", {}, [](Streams& s) { s["Property"][0] = s["Property"][1] = '\xFF'; }, true},
        {"lengths past _StringData", {}, [](Streams& s) { s["_StringData"].pop_back(); }, true},
        // After the header: Property, Value, ProductName, its value, Manufacturer, then the first
        // of the two entries of its 70000 bytes.
        {"pool cut inside a long string's entry", {}, [](Streams& s) { s["_StringPool"].resize(4 * 7); }, true},
        {"Value a binary column", [](cfb::Database& d) { d.valueType = 0x0900; }, {}, true},
        {"Value an integer column", [](cfb::Database& d) { d.valueType = 0x1502; }, {}, true},
        {"Value a temporary column", [](cfb::Database& d) { d.valueType = 0x4F00; }, {}, true},
        {"a third column", [](cfb::Database& d) { d.thirdColumn = true; }, {}, true},
        {"rows of a table _Columns does not declare", [](cfb::Database& d) { d.declaredTable = "Other"; }, {}, true},
        {"neither rows nor columns", [](cfb::Database& d) { d.declaredTable = "Other"; }, [](Streams& s) { s.erase("Property"); }, false},
        {"columns without rows", {}, [](Streams& s) { s.erase("Property"); }, false},
    };
    for (const auto& c : cases) {
        cfb::Database database{65001, false, richRows()};
        c.schema ? c.schema(database) : void();
        Streams streams = cfb::databaseStreams(database);
        c.change ? c.change(streams) : void();
        std::string why;
        const auto properties = readFrom(cfb::compoundFile(cfb::tableNodes(streams)), &why);
        EXPECT_EQ(c.refused, !properties) << c.what << ": " << why;
        EXPECT_EQ(c.refused, !why.empty()) << c.what;
    }
}

TEST_F(PackageReaderTest, RefusesDamagedCompoundFiles) {
    const std::string basic = readBytes(packagePath("basic.msi"));
    const std::string v4 = cfb::databaseFile({65001, false, richRows()}, 12);
    const auto intact = readFrom(basic);
    ASSERT_TRUE(intact);
    const size_t pool = entryOffset(basic, cfb::tableStreamName("_StringPool"));
    const size_t data = entryOffset(basic, cfb::tableStreamName("_StringData"));
    ASSERT_NE(cfb::noEntry, cfb::get32(basic, pool + 72)) << "the pool's entry has a right sibling";
    const uint32_t directory = cfb::get32(basic, 48);
    const size_t root = 512 * (size_t{directory} + 1);
    // The FAT entries that follow a sector, in a FAT the header lists; the mini FAT's first sector.
    const auto fatEntry = [&](uint32_t sector) { return 512 * (size_t{cfb::get32(basic, 76 + 4 * (sector / 128))} + 1) + 4 * (sector % 128); };
    const size_t miniFatEntry = 512 * (size_t{cfb::get32(basic, 60)} + 1) + 4 * cfb::get32(basic, data + 116);
    const uint32_t miniStream = cfb::get32(basic, root + 116);
    const struct {
        const char* what;
        const std::string& file;
        size_t at;
        uint32_t value;
        unsigned width;
        bool refused;
        // For loops, which a walk bounded by the file's size would also end, later: the reason given.
        const char* reason = "";
    } cases[] = {
        {"no signature", basic, 0, 'M', 1, true},
        {"version 5", basic, 26, 5, 2, true},
        {"version 3 with sectors of 4096 bytes", basic, 30, 12, 2, true},
        {"version 4 with sectors of 512 bytes", v4, 30, 9, 2, true},
        {"wrong byte order", basic, 28, 0xFEFF, 2, true},
        {"mini stream cutoff 2048", basic, 56, 2048, 4, true},
        {"directory chain loops", basic, fatEntry(directory), directory, 4, true, "comes back"},
        {"directory chain ends early", basic, fatEntry(directory), cfb::endOfChain, 4, true},
        {"directory chain names a free sector", basic, fatEntry(directory), cfb::freeSector, 4, true},
        {"directory chain leaves the file", basic, fatEntry(directory), 0x00FFFFFF, 4, true},
        {"first directory sector past the end", basic, 48, 0x00FFFFFF, 4, true},
        {"FAT sector past the end", basic, 76, 0x00FFFFFF, 4, true},
        {"no FAT sectors", basic, 44, 0, 4, true},
        {"mini stream chain loops", basic, fatEntry(miniStream), miniStream, 4, true, "comes back"},
        {"mini FAT chain loops", basic, miniFatEntry, cfb::get32(basic, data + 116), 4, true, "comes back"},
        {"mini FAT leaves the mini stream", basic, miniFatEntry, 100000, 4, true},
        {"stream larger than the file", basic, data + 120, 0xFFFFFF00, 4, true},
        {"stream larger than its mini chain", basic, pool + 120, 4000, 4, true},
        {"stream starting past the mini stream", basic, data + 116, 0x00FFFFFF, 4, true},
        {"version 3 size with a high half", basic, data + 124, 0xDEADBEEF, 4, false},
        {"version 4 size over 4 GB", v4, entryOffset(v4, cfb::tableStreamName("_StringPool")) + 124, 1, 4, true},
        {"tree back to the root", basic, pool + 72, 0, 4, true},
        {"tree reaches an entry twice", basic, pool + 68, cfb::get32(basic, pool + 72), 4, true, "comes back"},
        {"tree past the directory", basic, pool + 68, 5000, 4, true},
        {"unused entry in the tree", basic, pool + 66, 0, 1, true},
        {"second root in the tree", basic, pool + 66, 5, 1, true},
        {"name of 66 bytes", basic, pool + 64, 66, 2, true},
        {"name of odd length", basic, pool + 64, 25, 2, true},
        {"first entry no root", basic, root + 66, 1, 1, true},
    };
    for (const auto& c : cases) {
        std::string file = c.file;
        cfb::put(file, c.at, c.value, c.width);
        std::string why;
        const auto properties = readFrom(file, &why);
        EXPECT_EQ(c.refused, !properties) << c.what << ": " << why;
        EXPECT_NE(std::string::npos, why.find(c.reason)) << c.what << ": " << why;
        EXPECT_TRUE(!properties || &c.file != &basic || intact->values == properties->values) << c.what;
    }
    // Cut short: refused, or read whole where the cut leaves every sector needed.
    for (const size_t length : {size_t{0}, size_t{7}, size_t{511}, size_t{512}, size_t{513}, size_t{2048}, basic.size() / 2,
                                basic.size() - 512, basic.size() - 1}) {
        const auto properties = readFrom(basic.substr(0, length));
        EXPECT_TRUE(properties ? length > basic.size() / 2 && properties->values == intact->values : true) << length;
    }
}

TEST_F(PackageReaderTest, RefusesADamagedDifat) {
    const Bytes file(readBytes(TERVO_E2E_LARGE_MSI));
    // The last entry of the first DIFAT sector names the next one.
    const uint64_t difatNext = (uint64_t{cfb::get32(file.bytes, 68)} + 1) * 512 + 508;
    const struct {
        const char* what;
        uint64_t at;
        uint32_t value;
    } cases[] = {
        {"no DIFAT sectors", 72, 0},
        {"first DIFAT sector past the end", 68, 0x00FFFFFF},
        {"DIFAT chain loops", difatNext, cfb::get32(file.bytes, 68)},
        {"DIFAT chain names a free sector", difatNext, cfb::freeSector},
        {"FAT count below the DIFAT's", 44, 200},
    };
    for (const auto& c : cases) {
        WatchedSource damaged(file.source);
        damaged.patches[c.at] = c.value;
        std::string why;
        EXPECT_FALSE(PackageProperties::read(damaged, {}, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_EQ(c.at == difatNext && c.value != cfb::freeSector, why.find("comes back") != std::string::npos) << c.what << ": " << why;
        EXPECT_LT(damaged.bytesRead, 1u << 20) << c.what;
    }
}

TEST_F(PackageReaderTest, FailsWhenAnyReadFails) {
    const Bytes file(readBytes(packagePath("basic.msi")));
    WatchedSource counted(file.source);
    ASSERT_TRUE(PackageProperties::read(counted));
    for (size_t failing = 0; failing < counted.reads; ++failing) {
        WatchedSource failed(file.source);
        failed.failFrom = failing;
        EXPECT_FALSE(PackageProperties::read(failed)) << "read " << failing << " of " << counted.reads << " failed";
    }
    EXPECT_FALSE(PackageProperties::read(MemorySource(nullptr, 0)));
}

TEST_F(PackageReaderTest, SurvivesRandomDamage) {
    const std::string basic = readBytes(packagePath("basic.msi"));
    EXPECT_FALSE(readFrom(randomBytes(65536, 7)));
    EXPECT_FALSE(readFrom(basic.substr(0, 512) + randomBytes(basic.size() - 512, 8)));
    // Bytes changed at random, every other run in the header: some damage is refused, some lands
    // where nothing is read, and no run reads without bound.
    std::mt19937 random(11);
    size_t refused = 0, accepted = 0;
    for (int run = 0; run < 3000; ++run) {
        Bytes file(basic);
        for (uint32_t change = 0, changes = 1 + random() % 4; change < changes; ++change) {
            file.bytes[run % 2 == 0 ? random() % 512 : random() % basic.size()] = static_cast<char>(random() % 3 == 0 ? 0xFF : random());
        }
        const WatchedSource watched(file.source);
        (PackageProperties::read(watched) ? accepted : refused) += 1;
        // Each of the header, FAT, directory, pool, tables and strings is read once at most.
        ASSERT_LT(watched.bytesRead, 8 * basic.size()) << "run " << run;
    }
    EXPECT_GT(refused, 100u);
    EXPECT_GT(accepted, 100u);
}

TEST(MemorySource, ReadsOnlyWithinItsBytes) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    const MemorySource source(bytes, sizeof bytes);
    uint8_t into[4] = {};
    EXPECT_TRUE(source.read(1, into, 3));
    EXPECT_EQ(4, into[2]);
    EXPECT_TRUE(source.read(4, into, 0));
    EXPECT_FALSE(source.read(2, into, 3));
    EXPECT_FALSE(source.read(5, into, 0));
    EXPECT_FALSE(source.read(UINT64_MAX, into, 2));
}
