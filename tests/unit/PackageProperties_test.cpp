// The package reader against the platform's installer library (msi.dll under Wine, libmsi on
// Linux) on the packer's test packages, the 50 MB package and databases written here with
// sectors of 512 and 4096 bytes; then against damage of every layer it reads, which must give
// nullopt (or the intact result) without reading outside the file, hanging or crashing.
#include <gtest/gtest.h>

#include <fstream>
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

// A file read through a stream, as the packers read packages: by range, never whole.
class FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path) : in(fsPath(path), std::ios::binary) {
        in.seekg(0, std::ios::end);
        length = static_cast<uint64_t>(in.tellg());
    }
    uint64_t size() const override { return length; }
    bool read(uint64_t offset, void* into, size_t count) const override {
        if (offset > length || count > length - offset) {
            return false;
        }
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(static_cast<char*>(into), static_cast<std::streamsize>(count));
        return static_cast<size_t>(in.gcount()) == count;
    }

private:
    mutable std::ifstream in;
    uint64_t length = 0;
};

// Counts what is read through it, fails every read from the `failFrom`-th on, and shows `patches`
// in place of the bytes beneath.
class WatchedSource : public ByteSource {
public:
    explicit WatchedSource(const ByteSource& base) : base(base) {}
    uint64_t size() const override { return base.size(); }
    bool read(uint64_t offset, void* into, size_t count) const override {
        if (reads++ >= failFrom || !base.read(offset, into, count)) {
            return false;
        }
        bytesRead += count;
        for (const auto& [at, bytes] : patches) {
            for (size_t i = 0; i < bytes.size(); ++i) {
                if (at + i >= offset && at + i < offset + count) {
                    static_cast<char*>(into)[at + i - offset] = bytes[i];
                }
            }
        }
        return true;
    }
    void patch32(uint64_t at, uint32_t value) {
        std::string bytes(4, '\0');
        cfb::put32(bytes, 0, value);
        patches[at] = bytes;
    }

    const ByteSource& base;
    std::map<uint64_t, std::string> patches;
    size_t failFrom = SIZE_MAX;
    mutable size_t reads = 0;
    mutable uint64_t bytesRead = 0;
};

std::string packagePath(const std::string& name) { return std::string(TERVO_PACK_DATA) + "/" + name; }

std::optional<PackageProperties::Properties> readFrom(const std::string& bytes, std::string* why = nullptr) {
    const MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return PackageProperties::read(source, {}, why);
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

// Rows in a form short enough for a failure message: each value cut to 40 bytes, with its length.
std::string shown(const std::map<std::string, std::string>& rows) {
    std::string text;
    for (const auto& [name, value] : rows) {
        text += name + "=" + value.substr(0, 40) + (value.size() > 40 ? "...(" + std::to_string(value.size()) + ")" : "") + "; ";
    }
    return text;
}

#ifdef _WIN32
std::string narrow(const tstring& text) { return pack::toUtf8(std::u16string(text.begin(), text.end())); }

// The Property table as msi.dll reads it.
std::map<std::string, std::string> libraryProperties(const std::string& path) {
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
    } else {
        while (LibmsiRecord* record = libmsi_query_fetch(query, &error)) {
            gchar* name = libmsi_record_get_string(record, 1);
            gchar* value = libmsi_record_get_string(record, 2);
            rows.emplace(name ? name : "", value ? value : "");
            g_free(name);
            g_free(value);
            g_object_unref(record);
        }
    }
    g_clear_error(&error);
    if (query) {
        g_object_unref(query);
    }
    if (database) {
        g_object_unref(database);
    }
    return rows;
}
#endif

// A valid UTF-8 text above U+FFFF, a string over 64 KB, an empty value and a row after the long one.
std::vector<std::pair<std::string, std::string>> richRows() {
    return {{"ProductName", "Tervo \xC3\x84\xC3\xA4ni \xE2\x9C\x93 \xF0\x9F\x98\x80"},
            {"Manufacturer", std::string(70000, 'm')},
            {"Empty", ""},
            {"ProductVersion", "2.5.7"},
            {"After", std::string(65536, 'a')},
            {"Last", "last"}};
}

// Where the directory entry of a stream lies: its name begins the entry, and occurs nowhere else.
size_t entryOffset(const std::string& file, const std::u16string& name) {
    std::string pattern;
    for (const char16_t c : name) {
        cfb::append(pattern, c, 2);
    }
    const size_t at = file.find(pattern);
    EXPECT_NE(std::string::npos, at);
    EXPECT_EQ(std::string::npos, file.find(pattern, at + 1));
    return at;
}

// The offset of the FAT entry that follows `sector`, for files whose FAT the header lists.
size_t fatEntryOffset(const std::string& file, uint32_t sector) {
    const uint32_t sectorSize = 1u << (static_cast<unsigned char>(file[30]));
    const uint32_t fatSector = cfb::get32(file, 76 + 4 * (sector / (sectorSize / 4)));
    return (size_t{fatSector} + 1) * sectorSize + (sector % (sectorSize / 4)) * 4;
}

} // namespace

class PackageReaderTest : public PackTempDirTest {};

TEST_F(PackageReaderTest, ReadsWhatTheInstallerLibraryReads) {
    std::vector<std::string> packages;
    for (const char* name : {"basic.msi", "unicode.msi", "quoted.msi", "longname.msi", "nocode.msi", "noupgrade.msi",
                             "badupgrade.msi", "beta.msi", "external.msi", "uncompressed.msi"}) {
        packages.push_back(packagePath(name));
    }
    packages.push_back(TERVO_E2E_LARGE_MSI);
    // Written here: version 3 and 4, codepages 65001 and 1252, 2- and 3-byte references (by the
    // flag alone, and for ids past 65535), strings over 64 KB.
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
    }
    for (const std::string& path : packages) {
        std::string why;
        const auto properties = PackageProperties::read(FileSource(path), {}, &why);
        ASSERT_TRUE(properties) << path << ": " << why;
        const auto expected = libraryProperties(path);
        EXPECT_FALSE(expected.empty()) << path;
        EXPECT_TRUE(expected == decoded(*properties)) << path << "\nlibrary: " << shown(expected) << "\nreader:  " << shown(decoded(*properties));
    }
    for (const auto& file : written) {
        EXPECT_EQ(file.database.codepage, PackageProperties::read(FileSource(pathOf(file.name)))->codepage) << file.name;
    }
    EXPECT_EQ(0u, PackageProperties::read(FileSource(packagePath("basic.msi")))->codepage);
}

TEST_F(PackageReaderTest, ReadsOnlyTheRowsAsked) {
    const auto properties = PackageProperties::read(FileSource(packagePath("longname.msi")), {"ProductName", "Manufacturer", "NoSuchRow"});
    ASSERT_TRUE(properties);
    const std::map<std::string, std::string> expected{{"Manufacturer", "Tervo Tests"}, {"ProductName", std::string(20000, 'x')}};
    EXPECT_EQ(expected, properties->values);
    // The first of two rows of one name, as a query finds it.
    const auto twice = readFrom(cfb::databaseFile({0, false, {{"A", "first"}, {"A", "second"}}}));
    ASSERT_TRUE(twice);
    EXPECT_EQ("first", twice->values.at("A"));
}

TEST_F(PackageReaderTest, TouchesFewBytesOfALargePackage) {
    const FileSource file(TERVO_E2E_LARGE_MSI);
    std::string header(512, '\0');
    ASSERT_TRUE(file.read(0, header.data(), header.size()));
    // The directory's FAT entry lies in a FAT sector that only the DIFAT chain lists.
    ASSERT_GT(cfb::get32(header, 72), 0u);
    ASSERT_GE(cfb::get32(header, 48), 109u * 128);
    const WatchedSource watched(file);
    const auto properties = PackageProperties::read(watched, {"ProductName"});
    ASSERT_TRUE(properties);
    EXPECT_EQ("Tervo E2E Large", properties->values.at("ProductName"));
    EXPECT_GT(file.size(), 50'000'000u);
    EXPECT_LT(watched.bytesRead, 64u * 1024) << watched.reads << " reads";
    EXPECT_LT(watched.reads, 200u);
}

TEST_F(PackageReaderTest, TakesOnlyStreamsOfTheRootStorage) {
    const auto sub = [](std::vector<cfb::Node> children) {
        cfb::Node storage{u"Sub", "", true, std::move(children)};
        return storage;
    };
    const auto own = cfb::tableNodes(cfb::databaseStreams({0, false, {{"ProductName", "root"}}}));
    const auto other = cfb::tableNodes(cfb::databaseStreams({0, false, {{"ProductName", "sub-storage"}}}));
    std::vector<cfb::Node> both = own;
    both.push_back(sub(other));
    auto withoutProperty = cfb::databaseStreams({0, false, {}});
    std::vector<cfb::Node> onlyInSub = cfb::tableNodes(withoutProperty);
    onlyInSub.push_back(sub(other));
    const auto first = readFrom(cfb::compoundFile(both));
    ASSERT_TRUE(first);
    EXPECT_EQ((std::map<std::string, std::string>{{"ProductName", "root"}}), first->values);
    const auto second = readFrom(cfb::compoundFile(onlyInSub));
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->values.empty());
}

TEST_F(PackageReaderTest, RefusesTablesOfTheWrongShape) {
    const cfb::Database plain{65001, false, richRows()};
    const struct {
        const char* what;
        std::function<void(cfb::Database&, std::map<std::string, std::string>&)> change;
        bool refused;
    } cases[] = {
        {"intact", [](auto&, auto&) {}, false},
        {"no _StringPool", [](auto&, auto& s) { s.erase("_StringPool"); }, true},
        {"no _StringData", [](auto&, auto& s) { s.erase("_StringData"); }, true},
        {"no _Columns", [](auto&, auto& s) { s.erase("_Columns"); }, true},
        {"Property not a whole number of rows", [](auto&, auto& s) { s["Property"] += '\0'; }, true},
        {"_Columns not a whole number of rows", [](auto&, auto& s) { s["_Columns"].pop_back(); }, true},
        {"pool not a whole number of entries", [](auto&, auto& s) { s["_StringPool"] += '\0'; }, true},
        {"reference past the pool", [](auto&, auto& s) { s["Property"][0] = s["Property"][1] = '\xFF'; }, true},
        {"lengths past _StringData", [](auto&, auto& s) { s["_StringData"].pop_back(); }, true},
        {"pool cut inside a long string's entry", [](auto& d, auto& s) {
             d.properties = {{"Long", std::string(70000, 'l')}};
             s = cfb::databaseStreams(d);
             s["_StringPool"].resize(s["_StringPool"].size() - 4);
         }, true},
        {"Value a binary column", [](auto& d, auto& s) { d.valueType = 0x0900, s = cfb::databaseStreams(d); }, true},
        {"Value an integer column", [](auto& d, auto& s) { d.valueType = 0x1502, s = cfb::databaseStreams(d); }, true},
        {"Value a temporary column", [](auto& d, auto& s) { d.valueType = 0x4F00, s = cfb::databaseStreams(d); }, true},
        {"a third column", [](auto& d, auto& s) { d.thirdColumn = true, s = cfb::databaseStreams(d); }, true},
        {"rows of a table _Columns does not declare", [](auto& d, auto& s) { d.declaredTable = "Other", s = cfb::databaseStreams(d); }, true},
        {"neither rows nor columns", [](auto& d, auto& s) {
             d.declaredTable = "Other", s = cfb::databaseStreams(d);
             s.erase("Property");
         }, false},
        {"columns without rows", [](auto&, auto& s) { s.erase("Property"); }, false},
    };
    for (const auto& c : cases) {
        cfb::Database database = plain;
        auto streams = cfb::databaseStreams(database);
        c.change(database, streams);
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
    const uint32_t directory = cfb::get32(basic, 48);
    const uint32_t miniStream = cfb::get32(basic, 512 * (directory + 1) + 116);
    const uint32_t miniFatSector = cfb::get32(basic, 60);
    const uint32_t dataStart = cfb::get32(basic, data + 116);
    ASSERT_NE(cfb::noEntry, cfb::get32(basic, pool + 72)) << "the pool's entry has a right sibling";
    const struct {
        const char* what;
        const std::string* file;
        std::function<void(std::string&)> change;
        bool refused;
    } cases[] = {
        {"no signature", &basic, [](std::string& f) { f[0] = 'M'; }, true},
        {"version 5", &basic, [](std::string& f) { cfb::put16(f, 26, 5); }, true},
        {"version 3 with sectors of 4096 bytes", &basic, [](std::string& f) { cfb::put16(f, 30, 12); }, true},
        {"version 4 with sectors of 512 bytes", &v4, [](std::string& f) { cfb::put16(f, 30, 9); }, true},
        {"wrong byte order", &basic, [](std::string& f) { cfb::put16(f, 28, 0xFEFF); }, true},
        {"mini stream cutoff 2048", &basic, [](std::string& f) { cfb::put32(f, 56, 2048); }, true},
        {"directory chain loops", &basic, [&](std::string& f) { cfb::put32(f, fatEntryOffset(f, directory), directory); }, true},
        {"directory chain ends early", &basic, [&](std::string& f) { cfb::put32(f, fatEntryOffset(f, directory), cfb::endOfChain); }, true},
        {"directory chain names a free sector", &basic, [&](std::string& f) { cfb::put32(f, fatEntryOffset(f, directory), cfb::freeSector); }, true},
        {"directory chain leaves the file", &basic, [&](std::string& f) { cfb::put32(f, fatEntryOffset(f, directory), 0x00FFFFFF); }, true},
        {"first directory sector past the end", &basic, [](std::string& f) { cfb::put32(f, 48, 0x00FFFFFF); }, true},
        {"FAT sector past the end", &basic, [](std::string& f) { cfb::put32(f, 76, 0x00FFFFFF); }, true},
        {"no FAT sectors", &basic, [](std::string& f) { cfb::put32(f, 44, 0); }, true},
        {"mini stream chain loops", &basic, [&](std::string& f) { cfb::put32(f, fatEntryOffset(f, miniStream), miniStream); }, true},
        {"mini FAT chain loops", &basic, [&](std::string& f) { cfb::put32(f, 512 * (miniFatSector + 1) + 4 * dataStart, dataStart); }, true},
        {"mini FAT leaves the mini stream", &basic, [&](std::string& f) { cfb::put32(f, 512 * (miniFatSector + 1) + 4 * dataStart, 100000); }, true},
        {"stream larger than the file", &basic, [&](std::string& f) { cfb::put32(f, data + 120, 0xFFFFFF00); }, true},
        {"stream larger than its mini chain", &basic, [&](std::string& f) { cfb::put32(f, pool + 120, 4000); }, true},
        {"stream starting past the mini stream", &basic, [&](std::string& f) { cfb::put32(f, data + 116, 0x00FFFFFF); }, true},
        {"version 3 size with a high half", &basic, [&](std::string& f) { cfb::put32(f, data + 124, 0xDEADBEEF); }, false},
        {"version 4 size over 4 GB", &v4, [&](std::string& f) { cfb::put32(f, entryOffset(f, cfb::tableStreamName("_StringPool")) + 124, 1); }, true},
        {"tree back to the root", &basic, [&](std::string& f) { cfb::put32(f, pool + 72, 0); }, true},
        {"tree reaches an entry twice", &basic, [&](std::string& f) { cfb::put32(f, pool + 68, cfb::get32(f, pool + 72)); }, true},
        {"tree past the directory", &basic, [&](std::string& f) { cfb::put32(f, pool + 68, 5000); }, true},
        {"unused entry in the tree", &basic, [&](std::string& f) { f[pool + 66] = 0; }, true},
        {"second root in the tree", &basic, [&](std::string& f) { f[pool + 66] = 5; }, true},
        {"name of 66 bytes", &basic, [&](std::string& f) { cfb::put16(f, pool + 64, 66); }, true},
        {"name of odd length", &basic, [&](std::string& f) { cfb::put16(f, pool + 64, 25); }, true},
        {"first entry no root", &basic, [&](std::string& f) { f[512 * (directory + 1) + 66] = 1; }, true},
    };
    for (const auto& c : cases) {
        std::string file = *c.file;
        c.change(file);
        std::string why;
        const auto properties = readFrom(file, &why);
        EXPECT_EQ(c.refused, !properties) << c.what << ": " << why;
        if (properties && c.file == &basic) {
            EXPECT_EQ(intact->values, properties->values) << c.what;
        }
    }
    // Cut short anywhere: refused, or read whole where the cut leaves every needed sector.
    for (const size_t length : {size_t{0}, size_t{7}, size_t{511}, size_t{512}, size_t{513}, size_t{2048}, basic.size() / 2,
                                basic.size() - 512, basic.size() - 1}) {
        const auto properties = readFrom(basic.substr(0, length));
        EXPECT_TRUE(!properties || properties->values == intact->values) << length;
        EXPECT_TRUE(length > basic.size() / 2 || !properties) << length;
    }
}

TEST_F(PackageReaderTest, RefusesADamagedDifat) {
    const FileSource file(TERVO_E2E_LARGE_MSI);
    std::string header(512, '\0');
    ASSERT_TRUE(file.read(0, header.data(), header.size()));
    const uint32_t firstDifat = cfb::get32(header, 68);
    const struct {
        const char* what;
        std::function<void(WatchedSource&)> change;
    } cases[] = {
        {"no DIFAT sectors", [](WatchedSource& s) { s.patch32(72, 0); }},
        {"first DIFAT sector past the end", [](WatchedSource& s) { s.patch32(68, 0x00FFFFFF); }},
        {"DIFAT chain loops", [&](WatchedSource& s) { s.patch32((uint64_t{firstDifat} + 1) * 512 + 508, firstDifat); }},
        {"DIFAT chain names a free sector", [&](WatchedSource& s) { s.patch32((uint64_t{firstDifat} + 1) * 512 + 508, cfb::freeSector); }},
        {"FAT count below the DIFAT's", [](WatchedSource& s) { s.patch32(44, 200); }},
    };
    for (const auto& c : cases) {
        WatchedSource damaged(file);
        c.change(damaged);
        std::string why;
        EXPECT_FALSE(PackageProperties::read(damaged, {}, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_LT(damaged.bytesRead, 1u << 20) << c.what;
    }
}

TEST_F(PackageReaderTest, FailsWhenAnyReadFails) {
    const std::string bytes = readBytes(packagePath("basic.msi"));
    const MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    WatchedSource counted(source);
    ASSERT_TRUE(PackageProperties::read(counted));
    const size_t reads = counted.reads;
    for (size_t failing = 0; failing < reads; ++failing) {
        WatchedSource failed(source);
        failed.failFrom = failing;
        EXPECT_FALSE(PackageProperties::read(failed)) << "read " << failing << " of " << reads << " failed";
    }
    EXPECT_FALSE(PackageProperties::read(MemorySource(nullptr, 0)));
}

TEST_F(PackageReaderTest, SurvivesRandomDamage) {
    const std::string basic = readBytes(packagePath("basic.msi"));
    EXPECT_FALSE(readFrom(randomBytes(65536, 7)));
    EXPECT_FALSE(readFrom(basic.substr(0, 512) + randomBytes(basic.size() - 512, 8)));
    // Bytes changed at random, mostly where the reader looks (header, FAT, directory, tables):
    // some damage is refused, some lands where nothing is read, and no run reads without bound.
    std::mt19937 random(11);
    size_t refused = 0, accepted = 0;
    for (int run = 0; run < 3000; ++run) {
        std::string file = basic;
        for (int change = 0, changes = 1 + static_cast<int>(random() % 4); change < changes; ++change) {
            const size_t at = run % 2 == 0 ? random() % 512 : random() % file.size();
            file[at] = static_cast<char>(random() % 3 == 0 ? 0xFF : random());
        }
        const MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        const WatchedSource watched(source);
        (PackageProperties::read(watched) ? accepted : refused) += 1;
        // Each of the header, FAT, directory, pool, tables and strings is read once at most.
        ASSERT_LT(watched.bytesRead, 8 * file.size()) << "run " << run;
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
