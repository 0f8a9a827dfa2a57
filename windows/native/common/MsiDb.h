// Read access to installer databases: a package file, the cached package of an installed
// product, or the database of a running installation. Queries run through views; rows come back
// as records. Every installer failure is thrown as msi::Error naming the failing call.
#pragma once

#include <new>
#include <utility>

#include "Guid.h"
#include "MsiUtils.h"
#include "tstrings.h"

namespace msi {

class CAImpl;
class DatabaseView;

// An installer database, opened read-only. It owns its handle and closes it when destroyed.
// Views point at the database they run on, so it is neither copied nor moved.
class Database {
public:
    // Opens the package file at `path`.
    explicit Database(const tstring& path);
    // Opens the installer's cached package of an installed product; a product that is not
    // installed fails with reason 1605 while its package path is read.
    explicit Database(const Guid& productCode);
    // The database of the running installation behind `installHandle`; its path is "*CA*".
    explicit Database(MSIHANDLE installHandle);
    // The database of the installation that runs the custom action.
    explicit Database(const CAImpl& ca);

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // The value of a row of the Property table. A missing row throws msi::NoMoreItemsError.
    tstring getProperty(const tstring& name) const;
    // As above, but empty on failure: a missing row silently, any other failure reported.
    tstring getProperty(const std::nothrow_t&, const tstring& name) const;

    const tstring& getPath() const { return path; }
    MSIHANDLE getHandle() const { return handle.get(); }

private:
    tstring path;
    UniqueMsiHandle handle;
};

// Writes the database's path.
tstrings::MessageBuilder& operator<<(tstrings::MessageBuilder& out, const Database& database);

// One record: created with a number of fields, or a row fetched from a view. It owns its handle;
// an empty record holds none. Setters return the record so calls chain.
class DatabaseRecord {
public:
    DatabaseRecord() = default;
    // A new record with `fieldCount` null fields.
    explicit DatabaseRecord(UINT fieldCount);
    // The view's next row; throws msi::NoMoreItemsError when there is none.
    explicit DatabaseRecord(DatabaseView& view);
    // Takes ownership of a record handle.
    explicit DatabaseRecord(UniqueMsiHandle record) : handle(std::move(record)) {}

    DatabaseRecord(DatabaseRecord&&) noexcept = default;
    DatabaseRecord& operator=(DatabaseRecord&&) noexcept = default;

    // Replaces the held record with the view's next row; throws msi::NoMoreItemsError past the end.
    DatabaseRecord& fetch(DatabaseView& view);
    // As above, but past the end the record becomes empty.
    DatabaseRecord& tryFetch(DatabaseView& view);

    DatabaseRecord& setString(UINT field, const tstring& value);
    DatabaseRecord& setInteger(UINT field, int value);
    // Makes the field a stream holding the file's content.
    DatabaseRecord& setStreamFromFile(UINT field, const tstring& path);

    // The number of fields; a record without fields, or no valid record, throws.
    UINT getFieldCount() const;
    // A null field throws with reason 1627.
    int getInteger(UINT field) const;
    // A null field reads as empty.
    tstring getString(UINT field) const;
    // Copies a stream field into the file at `path`, replacing it only once the whole stream is
    // written; on failure the file is left as it was.
    void saveStreamToFile(UINT field, const tstring& path) const;

    bool empty() const { return !handle; }
    MSIHANDLE getHandle() const { return handle.get(); }

private:
    UniqueMsiHandle handle;
};

// A query opened and executed on a database, which must outlive the view. The view closes its
// handle when destroyed.
class DatabaseView {
public:
    // Opens and executes `query`, with the values of its parameter markers from `parameters`
    // (an empty record for none).
    DatabaseView(const Database& database, const tstring& query,
                 const DatabaseRecord& parameters = DatabaseRecord());

    // The next row; throws msi::NoMoreItemsError past the end.
    DatabaseRecord fetch();
    // The next row, or an empty record past the end.
    DatabaseRecord tryFetch();
    // Applies MsiViewModify with `mode` (an MSIMODIFY value) to the record.
    DatabaseView& modify(const DatabaseRecord& record, int mode);

    const tstring& getQuery() const { return query; }
    const Database& getDatabase() const { return *database; }
    MSIHANDLE getHandle() const { return handle.get(); }

private:
    tstring query;
    const Database* database;
    UniqueMsiHandle handle;
};

// Writes the view's query.
tstrings::MessageBuilder& operator<<(tstrings::MessageBuilder& out, const DatabaseView& view);

// Closes a view (MsiViewClose) and then its handle. When the view cannot be closed, that is a
// WARNING record and the handle stays open. Never throws.
void closeDatabaseView(MSIHANDLE view) noexcept;

} // namespace msi
