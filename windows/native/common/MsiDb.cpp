#include "MsiDb.h"

#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "MsiCA.h"

namespace msi {

namespace {

// Streams are copied through one buffer of this size, never held whole.
constexpr DWORD streamChunkSize = 0x100000;

UniqueMsiHandle openDatabase(const tstring& path) {
    UniqueMsiHandle database;
    const UINT status = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, database.put());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiOpenDatabase(" << path << ", MSIDBOPEN_READONLY) failed", status));
    }
    return database;
}

UniqueMsiHandle openDatabase(MSIHANDLE installHandle) {
    UniqueMsiHandle database(MsiGetActiveDatabase(installHandle));
    if (!database) {
        // The call returns no status of its own.
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiGetActiveDatabase() failed", ERROR_FUNCTION_FAILED));
    }
    return database;
}

} // namespace

Database::Database(const tstring& path) : path(path), handle(openDatabase(path)) {}

Database::Database(const Guid& productCode)
    : path(getProductInfo(productCode, L"LocalPackage")), handle(openDatabase(path)) {}

Database::Database(MSIHANDLE installHandle) : path(L"*CA*"), handle(openDatabase(installHandle)) {}

Database::Database(const CAImpl& ca) : Database(ca.getHandle()) {}

tstring Database::getProperty(const tstring& name) const {
    const tstring query = L"SELECT Value FROM Property WHERE Property = '" + name + L"'";
    DatabaseView view(*this, query);
    const DatabaseRecord record(view);
    if (record.getFieldCount() != 1) {
        throw TervoError<Error>(Error(tstrings::MessageBuilder() << "record.getFieldCount(" << *this << ", " << query
                                                                 << ") returned unexpected value",
                                      0));
    }
    return record.getString(1);
}

tstring Database::getProperty(const std::nothrow_t&, const tstring& name) const {
    tstring value;
    runReporting([&] {
        try {
            value = getProperty(name);
        } catch (const NoMoreItemsError&) {
            // A missing property is an answer, not a failure.
        }
    });
    return value;
}

tstrings::MessageBuilder& operator<<(tstrings::MessageBuilder& out, const Database& database) {
    return out << database.getPath();
}

DatabaseView::DatabaseView(const Database& database, const tstring& query, const DatabaseRecord& parameters)
    : query(query), database(&database) {
    UINT status = MsiDatabaseOpenViewW(database.getHandle(), query.c_str(), handle.put());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiDatabaseOpenView(" << query << ") failed", status));
    }
    status = MsiViewExecute(handle.get(), parameters.getHandle());
    if (status != ERROR_SUCCESS) {
        handle.reset();
        throw TervoError<Error>(Error(tstrings::MessageBuilder() << "MsiViewExecute(" << query << ") failed", status));
    }
}

DatabaseRecord DatabaseView::fetch() {
    DatabaseRecord record = tryFetch();
    if (record.empty()) {
        throw TervoError<NoMoreItemsError>(
            NoMoreItemsError(tstrings::MessageBuilder() << "No more items in [" << query << "] query"));
    }
    return record;
}

DatabaseRecord DatabaseView::tryFetch() {
    UniqueMsiHandle record;
    const UINT status = MsiViewFetch(handle.get(), record.put());
    if (status == ERROR_NO_MORE_ITEMS) {
        return DatabaseRecord();
    }
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(Error(tstrings::MessageBuilder() << "MsiViewFetch(" << query << ") failed", status));
    }
    return DatabaseRecord(std::move(record));
}

DatabaseView& DatabaseView::modify(const DatabaseRecord& record, int mode) {
    const UINT status = MsiViewModify(handle.get(), static_cast<MSIMODIFY>(mode), record.getHandle());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiViewModify(mode=" << mode << ") failed", status));
    }
    return *this;
}

tstrings::MessageBuilder& operator<<(tstrings::MessageBuilder& out, const DatabaseView& view) {
    return out << view.getQuery();
}

DatabaseRecord::DatabaseRecord(UINT fieldCount) : handle(MsiCreateRecord(fieldCount)) {
    if (!handle) {
        // The call returns no status of its own.
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiCreateRecord(" << fieldCount << ") failed", ERROR_FUNCTION_FAILED));
    }
}

DatabaseRecord::DatabaseRecord(DatabaseView& view) { fetch(view); }

DatabaseRecord& DatabaseRecord::fetch(DatabaseView& view) {
    *this = view.fetch();
    return *this;
}

DatabaseRecord& DatabaseRecord::tryFetch(DatabaseView& view) {
    *this = view.tryFetch();
    return *this;
}

DatabaseRecord& DatabaseRecord::setString(UINT field, const tstring& value) {
    const UINT status = MsiRecordSetStringW(handle.get(), field, value.c_str());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiRecordSetString(" << field << ", " << value << ") failed", status));
    }
    return *this;
}

DatabaseRecord& DatabaseRecord::setInteger(UINT field, int value) {
    const UINT status = MsiRecordSetInteger(handle.get(), field, value);
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(Error(
            tstrings::MessageBuilder() << "MsiRecordSetInteger(" << field << ", " << value << ") failed", status));
    }
    return *this;
}

DatabaseRecord& DatabaseRecord::setStreamFromFile(UINT field, const tstring& path) {
    const UINT status = MsiRecordSetStreamW(handle.get(), field, path.c_str());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiRecordSetStream(" << field << ", " << path << ") failed", status));
    }
    return *this;
}

UINT DatabaseRecord::getFieldCount() const {
    // An invalid handle answers -1, so the count is judged as a signed number.
    const int count = static_cast<int>(MsiRecordGetFieldCount(handle.get()));
    if (count <= 0) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiRecordGetFieldCount() failed", ERROR_FUNCTION_FAILED));
    }
    return static_cast<UINT>(count);
}

int DatabaseRecord::getInteger(UINT field) const {
    const int value = MsiRecordGetInteger(handle.get(), field);
    if (value == static_cast<int>(MSI_NULL_INTEGER)) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiRecordGetInteger(" << field << ") failed", ERROR_FUNCTION_FAILED));
    }
    return value;
}

void DatabaseRecord::saveStreamToFile(UINT field, const tstring& path) const {
    FileUtils::StagedFileWriter writer(path);
    std::vector<char> buffer(streamChunkSize);
    DWORD count = 0;
    do {
        count = streamChunkSize;
        const UINT status = MsiRecordReadStream(handle.get(), field, buffer.data(), &count);
        if (status != ERROR_SUCCESS) {
            throw TervoError<Error>(Error(tstrings::MessageBuilder() << "MsiRecordReadStream() failed", status));
        }
        writer.write(buffer.data(), count);
    } while (count == streamChunkSize);
    writer.commit();
}

void closeDatabaseView(MSIHANDLE view) noexcept {
    if (view == 0) {
        return;
    }
    const UINT status = MsiViewClose(view);
    if (status == ERROR_SUCCESS) {
        closeMSIHANDLE(view);
        return;
    }
    runReporting([&] {
        if (Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING,
                  tstrings::MessageBuilder() << "MsiViewClose(" << view << ") failed with error=" << status);
        }
    });
}

} // namespace msi
