// Installer databases, views and records against packages built with wixl and the real installer
// service of the test prefix.
#include "ImportHook.h"
#include "InstallerTestSupport.h"
#include "MsiDb.h"
#include "TestSupport.h"

namespace {

const Guid basicCode{tstring(L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}")};

tstring fromBuild(const char* path) { return tstrings::decodeUtf8(path); }

// The buffer size offered by each record string read.
std::vector<DWORD> offeredSizes;
UINT recordStringRead(decltype(&MsiRecordGetStringW) original, MSIHANDLE record, UINT field, LPWSTR buffer,
                      LPDWORD length) {
    offeredSizes.push_back(*length);
    return original(record, field, buffer, length);
}

// The byte count of each stream read; the read numbered `failingRead` (from 1) fails instead.
std::vector<DWORD> readCounts;
std::size_t failingRead = 0;
UINT recordStreamRead(decltype(&MsiRecordReadStream) original, MSIHANDLE record, UINT field, char* buffer,
                      LPDWORD count) {
    if (readCounts.size() + 1 == failingRead) {
        return ERROR_FUNCTION_FAILED;
    }
    const UINT status = original(record, field, buffer, count);
    readCounts.push_back(*count);
    return status;
}

class MsiDbTest : public TempDirTest {
protected:
    void TearDown() override {
        removeProductForTest(basicCode.toString());
        TempDirTest::TearDown();
    }
    msi::Database query{fromBuild(TERVO_QUERY_MSI)};
};

} // namespace

TEST_F(MsiDbTest, PropertiesReadWithABufferDoubledFrom20AndMissingOnesAreTheirOwnError) {
    const IMPORT_HOOK(MsiRecordGetStringW) hook(recordStringRead);
    const struct {
        const wchar_t* name;
        std::size_t length;
        std::vector<DWORD> sizes;
    } cases[] = {{L"P19", 19, {20}}, {L"P20", 20, {20, 40}}, {L"P100", 100, {20, 40, 80, 160}}};
    for (const auto& c : cases) {
        offeredSizes.clear();
        EXPECT_EQ(c.length, query.getProperty(c.name).size()) << tstrings::encodeUtf8(c.name);
        EXPECT_EQ(c.sizes, offeredSizes) << tstrings::encodeUtf8(c.name);
    }
    EXPECT_EQ(L"abcdefghijklmnopqrst", query.getProperty(L"P20"));

    CapturingAppender capture;
    ScopedAppender scope(&capture);
    EXPECT_THROW(query.getProperty(L"MISSING"), msi::NoMoreItemsError);
    expectInstallerError([&] { query.getProperty(L"MISSING"); }, "msi::DatabaseView::fetch",
                         "No more items in [SELECT Value FROM Property WHERE Property = 'MISSING'] query",
                         ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(L"", query.getProperty(std::nothrow, L"MISSING"));
    EXPECT_TRUE(capture.records.empty());

    // A name that breaks the query fails otherwise: the non-throwing form reports it.
    EXPECT_EQ(L"", query.getProperty(std::nothrow, L"It's"));
    ASSERT_EQ(1u, capture.records.size());
    EXPECT_EQ(L"msi::Database::getProperty", capture.records[0].functionName);
    EXPECT_NE(tstring::npos, capture.records[0].message.find(
                                 L"MsiDatabaseOpenView(SELECT Value FROM Property WHERE Property = 'It's') failed. "));
}

TEST_F(MsiDbTest, OpensPackagesInstallationsAndInstalledProducts) {
    const tstring notADatabase = pathOf(L"not a package.msi");
    writeFile(notADatabase, "plain text");
    MSIHANDLE raw = 0;
    const UINT refused = MsiOpenDatabaseW(notADatabase.c_str(), MSIDBOPEN_READONLY, &raw);
    ASSERT_NE(0u, refused);
    expectInstallerError([&] { msi::Database{notADatabase}; }, "msi::`anonymous-namespace'::openDatabase",
                         "MsiOpenDatabase(" + tstrings::encodeUtf8(notADatabase) + ", MSIDBOPEN_READONLY) failed",
                         refused);

    MSIHANDLE session = 0;
    ASSERT_EQ(0u, MsiOpenPackageW(fromBuild(TERVO_QUERY_MSI).c_str(), &session));
    {
        const msi::Database active(session);
        EXPECT_EQ(L"*CA*: abcdefghijklmnopqrs",
                  (tstrings::MessageBuilder() << "" << active << ": " << active.getProperty(L"P19")).str());
    }
    MsiCloseHandle(session);
    expectInstallerError([] { msi::Database{MSIHANDLE(0)}; }, "msi::`anonymous-namespace'::openDatabase",
                         "MsiGetActiveDatabase() failed", ERROR_FUNCTION_FAILED);

    expectInstallerError([] { msi::Database{basicCode}; }, "msi::`anonymous-namespace'::getProperty",
                         "MsiGetProductInfo({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, LocalPackage) failed",
                         ERROR_UNKNOWN_PRODUCT);
    ASSERT_TRUE(msi::install().packagePath(fromBuild(TERVO_E2E_BASIC_MSI))(std::nothrow));
    EXPECT_EQ(L"2.5.7", msi::Database(basicCode).getProperty(L"ProductVersion"));
}

TEST_F(MsiDbTest, ViewsAndRecords) {
    const tstring byName = L"SELECT Property, Value FROM Property WHERE Property = ?";
    msi::DatabaseView view(query, byName, msi::DatabaseRecord(1).setString(1, L"P19"));
    EXPECT_EQ(L"[" + byName + L"]", (tstrings::MessageBuilder() << "[" << view << "]").str());
    msi::DatabaseRecord row(view);
    EXPECT_EQ(2u, row.getFieldCount());
    EXPECT_EQ(L"abcdefghijklmnopqrs", row.getString(2));
    // Wine's installer starts over once it has answered "no more items", so each view is asked
    // only once past its end.
    EXPECT_TRUE(row.tryFetch(view).empty());
    msi::DatabaseView none(query, byName, msi::DatabaseRecord(1).setString(1, L"NONE"));
    expectInstallerError([&] { none.fetch(); }, "msi::DatabaseView::fetch",
                         "No more items in [" + tstrings::encodeUtf8(byName) + "] query", ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(1, msi::DatabaseView(query, L"SELECT Level FROM Feature").fetch().getInteger(1));
    expectInstallerError([&] { view.modify(row, MSIMODIFY_INSERT); }, "msi::DatabaseView::modify",
                         "MsiViewModify(mode=1) failed",
                         MsiViewModify(view.getHandle(), MSIMODIFY_INSERT, row.getHandle()));

    msi::DatabaseRecord record(2);
    record.setInteger(1, -42);
    EXPECT_EQ(-42, record.getInteger(1));
    EXPECT_EQ(L"", record.getString(2)) << "a null field reads as empty text";
    expectInstallerError([&] { record.getInteger(2); }, "msi::DatabaseRecord::getInteger",
                         "MsiRecordGetInteger(2) failed", ERROR_FUNCTION_FAILED);
    expectInstallerError([&] { record.setString(3, L"x"); }, "msi::DatabaseRecord::setString",
                         "MsiRecordSetString(3, x) failed", MsiRecordSetStringW(record.getHandle(), 3, L"x"));
    expectInstallerError([] { msi::DatabaseRecord(70000); }, "msi::DatabaseRecord::DatabaseRecord",
                         "MsiCreateRecord(70000) failed", ERROR_FUNCTION_FAILED);
    const msi::DatabaseRecord fieldless[] = {msi::DatabaseRecord(0), msi::DatabaseRecord()};
    for (const msi::DatabaseRecord& empty : fieldless) {
        expectInstallerError([&] { empty.getFieldCount(); }, "msi::DatabaseRecord::getFieldCount",
                             "MsiRecordGetFieldCount() failed", ERROR_FUNCTION_FAILED);
    }
}

TEST_F(MsiDbTest, StreamsAreSavedInOneMebibyteChunks) {
    const IMPORT_HOOK(MsiRecordReadStream) hook(recordStreamRead);
    const struct {
        const wchar_t* name;
        std::string content;
        std::vector<DWORD> counts;
    } cases[] = {{L"Empty", "", {0}},
                 {L"OneMiB", readFile(fromBuild(TERVO_QUERY_DATA) + L"\\mib.bin"), {0x100000, 0}}};
    ASSERT_EQ(std::size_t(0x100000), cases[1].content.size());
    for (const auto& c : cases) {
        readCounts.clear();
        msi::DatabaseView view(query, L"SELECT Data FROM Binary WHERE Name = ?",
                               msi::DatabaseRecord(1).setString(1, c.name));
        msi::DatabaseRecord(view).saveStreamToFile(1, pathOf(c.name));
        EXPECT_EQ(c.counts, readCounts) << tstrings::encodeUtf8(c.name);
        EXPECT_TRUE(exists(pathOf(c.name)) && readFile(pathOf(c.name)) == c.content) << tstrings::encodeUtf8(c.name);
    }

    std::string content(0x200000 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i % 251);
    }
    writeFile(pathOf(L"source.bin"), content);
    readCounts.clear();
    msi::DatabaseRecord(1).setStreamFromFile(1, pathOf(L"source.bin")).saveStreamToFile(1, pathOf(L"copy.bin"));
    EXPECT_EQ((std::vector<DWORD>{0x100000, 0x100000, 123}), readCounts);
    EXPECT_TRUE(readFile(pathOf(L"copy.bin")) == content);

    // A failure after a chunk was written leaves the destination as it was, and nothing beside it.
    writeFile(pathOf(L"copy.bin"), "kept");
    readCounts.clear();
    failingRead = 2;
    msi::DatabaseRecord fresh(1);
    fresh.setStreamFromFile(1, pathOf(L"source.bin"));
    expectInstallerError([&] { fresh.saveStreamToFile(1, pathOf(L"copy.bin")); },
                         "msi::DatabaseRecord::saveStreamToFile", "MsiRecordReadStream() failed", ERROR_FUNCTION_FAILED);
    failingRead = 0;
    EXPECT_EQ("kept", readFile(pathOf(L"copy.bin")));
    EXPECT_EQ((std::vector<tstring>{L"Empty", L"OneMiB", L"copy.bin", L"source.bin"}), listDir(dir));
}

TEST_F(MsiDbTest, FailedCallsAreNamedWithTheirReasonAndAFailedViewIsClosedFirst) {
    std::vector<tstring> trace;
    const IMPORT_HOOK(MsiCloseHandle) closes([&](auto original, MSIHANDLE handle) {
        trace.push_back(L"close");
        return original(handle);
    });
    const IMPORT_HOOK(LoadLibraryExW) describes([&](auto original, LPCWSTR path, HANDLE file, DWORD flags) {
        trace.push_back(L"describe");
        return original(path, file, flags);
    });
    {
        const IMPORT_HOOK(MsiViewExecute) execute(failing<UINT>(ERROR_BAD_QUERY_SYNTAX, 0));
        expectInstallerError([&] { msi::DatabaseView(query, L"SELECT Value FROM Property"); },
                             "msi::DatabaseView::DatabaseView", "MsiViewExecute(SELECT Value FROM Property) failed",
                             ERROR_BAD_QUERY_SYNTAX);
    }
    ASSERT_LE(2u, trace.size());
    EXPECT_EQ((std::vector<tstring>{L"close", L"describe"}), std::vector<tstring>(trace.begin(), trace.begin() + 2))
        << "the view is closed before the error is made";

    msi::DatabaseRecord record(2);
    const tstring missing = pathOf(L"missing.bin");
    msi::DatabaseView rows(query, L"SELECT Property FROM Property");
    const struct {
        std::function<void()> call;
        const char* function;
        std::string text;
        UINT reason;
    } cases[] = {
        {[&] { const IMPORT_HOOK(MsiViewFetch) f(failing<UINT>(ERROR_FUNCTION_FAILED, 0)); rows.tryFetch(); },
         "msi::DatabaseView::tryFetch", "MsiViewFetch(SELECT Property FROM Property) failed", ERROR_FUNCTION_FAILED},
        {[&] { record.setInteger(3, -5); }, "msi::DatabaseRecord::setInteger", "MsiRecordSetInteger(3, -5) failed",
         MsiRecordSetInteger(record.getHandle(), 3, -5)},
        {[&] { record.setStreamFromFile(1, missing); }, "msi::DatabaseRecord::setStreamFromFile",
         "MsiRecordSetStream(1, " + tstrings::encodeUtf8(missing) + ") failed",
         MsiRecordSetStreamW(record.getHandle(), 1, missing.c_str())},
        {[&] { const IMPORT_HOOK(MsiRecordGetFieldCount) f(failing<UINT>(2, 0)); query.getProperty(L"P19"); },
         "msi::Database::getProperty",
         std::string("record.getFieldCount(") + TERVO_QUERY_MSI +
             ", SELECT Value FROM Property WHERE Property = 'P19') returned unexpected value",
         0},
    };
    for (const auto& c : cases) {
        expectInstallerError(c.call, c.function, c.text, c.reason);
    }
}

TEST(MsiDb, CloseDatabaseViewClosesTheViewAndItsHandleOrWarns) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    const msi::Database query{fromBuild(TERVO_QUERY_MSI)};
    MSIHANDLE view = 0;
    ASSERT_EQ(0u, MsiDatabaseOpenViewW(query.getHandle(), L"SELECT Property FROM Property", &view));
    ASSERT_EQ(0u, MsiViewExecute(view, 0));
    msi::closeDatabaseView(view);
    msi::closeDatabaseView(0);
    EXPECT_TRUE(capture.records.empty());
    ASSERT_EQ(static_cast<UINT>(ERROR_INVALID_HANDLE), MsiViewClose(view)) << "closed above";
    msi::closeDatabaseView(view);
    EXPECT_EQ(std::vector<tstring>{L"MsiViewClose(" + std::to_wstring(view) + L") failed with error=6"},
              capture.messages(Severity::WARNING));
}
