// The packer's Windows layer: files through the Win32 API, installer databases through msi.dll
// (the library's msi::Database), paths and the temporary folder through FileUtils and SysInfo.
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "MsiDb.h"
#include "PackError.h"
#include "PackageTexts.h"
#include "Platform.h"
#include "SysInfo.h"
#include "UniqueHandle.h"
#include "Utf.h"
#include "WinErrorHandling.h"
#include "WinHeaders.h"

namespace pack {

namespace {

tstring wide(const std::string& text) {
    const std::u16string units = toUtf16(text);
    return tstring(units.begin(), units.end());
}

std::string narrow(const tstring& text) { return toUtf8(std::u16string(text.begin(), text.end())); }

Reason reasonOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return Reason::NotFound;
    case ERROR_PATH_NOT_FOUND:
        return Reason::FolderMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return Reason::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return Reason::InUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Reason::DiskFull;
    default:
        return Reason::Other;
    }
}

[[noreturn]] void fail(const std::string& action, const std::string& path, DWORD error,
                       const std::source_location& location = std::source_location::current()) {
    throw Error(action + " " + path + ": " + describeReason(reasonOf(error), narrow(systemMessageDescription(error))),
                location);
}

// The message of a library failure, without its source location.
std::string plainMessageOf(const std::exception& error) {
    const auto* located = dynamic_cast<const TervoErrorBase*>(&error);
    return located ? located->plainMessage() : error.what();
}

// Where a read or write at `offset` of a file opened for synchronous access goes.
OVERLAPPED overlappedAt(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// Writes all of the bytes at `offset`, in pieces the system takes; the system's error code when a
// write fails, else 0.
DWORD writeAllAt(HANDLE file, uint64_t offset, const char* data, size_t size) {
    while (size > 0) {
        OVERLAPPED at = overlappedAt(offset);
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, DWORD{1} << 30));
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, &at)) {
            return GetLastError();
        }
        data += written;
        offset += written;
        size -= written;
    }
    return 0;
}

void writeAt(HANDLE file, uint64_t offset, const char* data, size_t size, const std::string& path) {
    if (const DWORD error = writeAllAt(file, offset, data, size)) {
        fail("Cannot write", path, error);
    }
}

class WinInputFile : public InputFile {
public:
    WinInputFile(std::string path, UniqueHandle handle, uint64_t size)
        : path(std::move(path)), handle(std::move(handle)), length(size) {}

    uint64_t size() const override { return length; }

    void readAt(uint64_t offset, char* buffer, size_t count) const override {
        while (count > 0) {
            OVERLAPPED at = overlappedAt(offset);
            const DWORD want = static_cast<DWORD>(std::min<size_t>(count, DWORD{1} << 30));
            DWORD got = 0;
            if (!ReadFile(handle.get(), buffer, want, &got, &at)) {
                const DWORD error = GetLastError();
                fail("Cannot read", path, error);
            }
            if (got == 0) {
                throw Error("Cannot read " + path + ": it was shortened while being read");
            }
            buffer += got;
            offset += got;
            count -= got;
        }
    }

private:
    std::string path;
    UniqueHandle handle;
    uint64_t length;
};

// A new file "stg<process>-<n>.tmp" in `folder`, open for writing and marked for deletion, so
// that the system removes it when the handle goes, even when the process is killed.
UniqueHandle createStagingFile(const tstring& folder, tstring& name, const std::string& destination) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        name = FileUtils::joinPath(folder, L"stg" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                               std::to_wstring(attempt) + L".tmp");
        UniqueHandle file(CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            fail("Cannot write", destination, error);
        }
    }
    throw Error("Cannot write " + destination + ": no free name for a temporary file beside it");
}

bool setDeletePending(HANDLE file, bool pending) {
    FILE_DISPOSITION_INFO disposition{pending};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

class WinStagedOutput : public StagedOutput {
public:
    explicit WinStagedOutput(const std::string& destination) : destination(destination) {
        file = createStagingFile(FileUtils::parentPath(wide(destination)), tempName, destination);
        // Where the mark is refused, the destructor still removes the file on every failure the
        // process survives.
        markedForDeletion = setDeletePending(file.get(), true);
    }

    ~WinStagedOutput() override {
        const bool wasOpen = static_cast<bool>(file);
        file.reset();
        if (wasOpen && !markedForDeletion) {
            DeleteFileW(tempName.c_str());
        }
    }

    void write(const char* data, size_t size) override {
        pack::writeAt(file.get(), position, data, size, destination);
        position += size;
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        pack::writeAt(file.get(), offset, data, size, destination);
    }

    void commit() override {
        if (markedForDeletion && !setDeletePending(file.get(), false)) {
            const DWORD error = GetLastError();
            fail("Cannot write", destination, error);
        }
        markedForDeletion = false;
        if (!CloseHandle(file.release())) {
            const DWORD error = GetLastError();
            DeleteFileW(tempName.c_str());
            fail("Cannot write", destination, error);
        }
        if (!MoveFileExW(tempName.c_str(), wide(destination).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = GetLastError();
            DeleteFileW(tempName.c_str());
            fail("Cannot write", destination, error);
        }
    }

private:
    std::string destination;
    tstring tempName;
    UniqueHandle file;
    bool markedForDeletion = false;
    uint64_t position = 0;
};

// The package's copy for msi.dll, in the temporary folder (TMP, TEMP, ...). Failures name that
// folder and say that it is the temporary folder: the user chose none.
class WinScratchFile : public ScratchFile {
public:
    WinScratchFile() {
        tstring folder;
        try {
            folder = SysInfo::getTempDir();
        } catch (const std::exception& e) {
            // The system names no folder: the variable it would have taken it from is named instead.
            const tstring variable = SysInfo::getEnvVariable(std::nothrow, L"TMP", L"");
            throw Error("Cannot create a temporary copy of the package: " + plainMessageOf(e) + "; the temporary folder " +
                        (variable.empty() ? std::string("cannot be found") : "that TMP names, " + narrow(variable) + ", cannot be used") +
                        ": set TMP to another folder");
        }
        where = "the temporary folder " + narrow(folder);
        for (unsigned attempt = 0; !file && attempt < 100; ++attempt) {
            tempName = FileUtils::joinPath(folder, L"tervo-inspect-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                                       std::to_wstring(attempt) + L".msi");
            file.reset(CreateFileW(tempName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY, nullptr));
            const DWORD error = file ? 0 : GetLastError();
            if (!file && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                failIn("Cannot create a temporary file in", error);
            }
        }
        if (!file) {
            throw Error("Cannot create a temporary file in " + where + ": no free name for it");
        }
        filePath = narrow(tempName);
    }

    ~WinScratchFile() override {
        file.reset();
        DeleteFileW(tempName.c_str());
    }

    void write(const char* data, size_t size) override {
        writeAt(position, data, size);
        position += size;
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        if (const DWORD error = writeAllAt(file.get(), offset, data, size)) {
            failIn("Cannot write a temporary copy of the package in", error);
        }
    }
    const std::string& path() const override { return filePath; }
    void finish() override {
        if (!CloseHandle(file.release())) {
            const DWORD error = GetLastError();
            failIn("Cannot write a temporary copy of the package in", error);
        }
    }

private:
    [[noreturn]] void failIn(const std::string& action, DWORD error) const {
        // The folder is what is missing, and the message names it.
        const Reason reason = reasonOf(error) == Reason::FolderMissing ? Reason::NotFound : reasonOf(error);
        const std::string hint = reason == Reason::DiskFull ? "; free space there or set TMP to another folder"
                                 : reason == Reason::Other  ? ""
                                                            : "; set TMP to another folder";
        throw Error(action + " " + where + ": " + describeReason(reason, narrow(systemMessageDescription(error))) + hint);
    }

    std::string where;
    tstring tempName;
    std::string filePath;
    UniqueHandle file;
    uint64_t position = 0;
};

// What a handle that is not a file on a disk is, in words that follow "path: ".
std::string describeNonDisk(HANDLE handle) {
    switch (GetFileType(handle)) {
    case FILE_TYPE_PIPE:
        return "it is a pipe, not a regular file";
    case FILE_TYPE_CHAR:
        return "it is a device, not a regular file";
    default:
        return "it is not a regular file";
    }
}

bool isDevicePath(std::wstring_view path) { return path.starts_with(L"\\\\.\\"); }

// Why a path the system could not look up cannot be used, for the errors that do not mean "not there".
std::string describeUnreachable(DWORD error) {
    switch (error) {
    case ERROR_FILENAME_EXCED_RANGE:
        return "its path is longer than the system allows; use a shorter path";
    case ERROR_CANT_RESOLVE_FILENAME:
        return "its symbolic links form a loop";
    case ERROR_ACCESS_DENIED:
        return "access to it or to a folder on its path is denied";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return "its name holds characters that Windows does not allow";
    default:
        return narrow(systemMessageDescription(error));
    }
}

[[noreturn]] void failStandardOutput(DWORD error, const std::source_location& location = std::source_location::current()) {
    const std::string reason = error == ERROR_INVALID_HANDLE                             ? "it is closed"
                               : error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? "the program reading it has ended"
                                                                                       : describeReason(reasonOf(error), narrow(systemMessageDescription(error)));
    throw Error("Cannot write to standard output: " + reason, location);
}

// The process's standard output or error; null when it has none.
HANDLE standardHandle(Stream stream) {
    const HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// Writes all the bytes to a file or pipe handle; the error of the write that failed, or 0.
DWORD writeWhole(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, DWORD{1} << 30));
        if (!WriteFile(handle, data, piece, &written, nullptr)) {
            return GetLastError();
        }
        if (written == 0) {
            return ERROR_WRITE_FAULT;
        }
        data += written;
        size -= written;
    }
    return 0;
}

// What tells one file from another: its volume's serial number and its index on that volume.
using FileIdentity = std::pair<DWORD, uint64_t>;

std::optional<FileIdentity> identityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return std::nullopt;
    }
    return FileIdentity{info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

std::optional<FileIdentity> identityOf(const std::string& path) {
    const UniqueHandle file(CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file ? identityOf(file.get()) : std::nullopt;
}

// The text of each row's fields.
std::vector<std::vector<std::string>> select(const msi::Database& database, const std::string& query, UINT columns) {
    msi::DatabaseView view(database, wide(query));
    std::vector<std::vector<std::string>> rows;
    for (msi::DatabaseRecord record = view.tryFetch(); !record.empty(); record = view.tryFetch()) {
        std::vector<std::string> row;
        for (UINT field = 1; field <= columns; ++field) {
            row.push_back(narrow(record.getString(field)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The summary information's word count (PID_WORDCOUNT, a VT_I4 value), or 0.
int32_t wordCountOf(const msi::Database& database) {
    constexpr UINT wordCountProperty = 15;
    constexpr UINT integerType = 3;
    MSIHANDLE summary = 0;
    if (MsiGetSummaryInformationW(database.getHandle(), nullptr, 0, &summary) != ERROR_SUCCESS) {
        return 0;
    }
    const UniqueMsiHandle owner(summary);
    UINT type = 0;
    INT value = 0;
    FILETIME time{};
    DWORD length = 0;
    const UINT result = MsiSummaryInfoGetPropertyW(summary, wordCountProperty, &type, &value, &time, nullptr, &length);
    return result == ERROR_SUCCESS && type == integerType ? value : 0;
}

} // namespace

namespace platform {

std::unique_ptr<InputFile> openInput(const std::string& path) {
    const tstring name = wide(path);
    if (isDevicePath(name)) {
        throw Error("Cannot read " + path + ": it is a device, not a regular file");
    }
    UniqueHandle handle(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && pathKind(path) == PathKind::Directory) {
            throw Error("Cannot read " + path + ": " + describeReason(Reason::IsDirectory, ""));
        }
        if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_CANT_RESOLVE_FILENAME) {
            throw Error("Cannot read " + path + ": " + describeUnreachable(error));
        }
        fail("Cannot read", path, error);
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        throw Error("Cannot read " + path + ": " + describeNonDisk(handle.get()));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.get(), &size)) {
        const DWORD error = GetLastError();
        fail("Cannot read", path, error);
    }
    return std::make_unique<WinInputFile>(path, std::move(handle), static_cast<uint64_t>(size.QuadPart));
}

// Windows marks no file runnable: a program and data are written alike.
std::unique_ptr<StagedOutput> createStagedOutput(const std::string& destination, OutputKind) {
    return std::make_unique<WinStagedOutput>(destination);
}

std::unique_ptr<ScratchFile> createScratchFile() { return std::make_unique<WinScratchFile>(); }

std::optional<PackageFacts> readPackageFacts(const std::string& path) {
    try {
        const msi::Database database(wide(path));
        const auto hasTable = [&](const char* table) {
            return !select(database, queries::withName(queries::tableExists, table), 1).empty();
        };
        PackageFacts facts;
        if (hasTable("Property")) {
            for (auto [name, value] : {std::pair{"ProductCode", &facts.productCode}, {"UpgradeCode", &facts.upgradeCode}, {"ProductName", &facts.productName},
                                       {"ProductVersion", &facts.productVersion}, {"Manufacturer", &facts.manufacturer}}) {
                const auto rows = select(database, queries::withName(queries::property, name), 1);
                *value = rows.empty() ? "" : rows.front()[0];
            }
        }
        if (hasTable("Media")) {
            for (const auto& row : select(database, queries::cabinets, 1)) {
                if (!row[0].empty()) {
                    facts.cabinets.push_back(row[0]);
                }
            }
        }
        if (hasTable("File")) {
            for (const auto& row : select(database, queries::files, 2)) {
                facts.files.push_back({row[0], static_cast<int32_t>(std::strtol(row[1].c_str(), nullptr, 10))});
            }
        }
        facts.wordCount = wordCountOf(database);
        // The Property values as the Linux tool reads them, whatever the system's code page.
        if (!readPropertyTexts(*openInput(path), facts)) {
            return std::nullopt;
        }
        return facts;
    } catch (const TervoError<msi::Error>&) {
        return std::nullopt;
    }
}

std::string absolutePath(const std::string& path) {
    try {
        return narrow(FileUtils::toAbsolutePath(wide(path)));
    } catch (const std::exception& e) {
        throw Error("Cannot resolve " + path + ": " + plainMessageOf(e));
    }
}

PathState examinePath(const std::string& path) {
    const tstring name = wide(path);
    if (isDevicePath(name)) {
        return {PathKind::Other, "it is a device, not a regular file"};
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return {PathKind::Missing, ""};
        }
        return {PathKind::Unreachable, describeUnreachable(error)};
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return {(attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File, ""};
    }
    // A link: what it leads to.
    UniqueHandle target(CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return {PathKind::Unreachable, "it is a symbolic link to a file that does not exist"};
        }
        return {PathKind::Unreachable, describeUnreachable(error)};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(target.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {PathKind::Directory, ""};
    }
    if (GetFileType(target.get()) != FILE_TYPE_DISK) {
        return {PathKind::Other, describeNonDisk(target.get())};
    }
    return {PathKind::File, ""};
}

std::string linkTarget(const std::string& path) {
    const tstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return path;
    }
    UniqueHandle target(CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::vector<wchar_t> buffer(32768);
    const DWORD length = target ? GetFinalPathNameByHandleW(target.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)
                                : 0;
    if (length == 0 || length >= buffer.size()) {
        const DWORD error = GetLastError();
        throw Error("Cannot write " + path + ": the file its link leads to cannot be named: " + describeUnreachable(error));
    }
    tstring resolved(buffer.data(), length);
    if (std::wstring_view(resolved).starts_with(L"\\\\?\\UNC\\")) {
        resolved = L"\\\\" + resolved.substr(8);
    } else if (std::wstring_view(resolved).starts_with(L"\\\\?\\")) {
        resolved = resolved.substr(4);
    }
    return narrow(resolved);
}

bool sameFile(const std::string& a, const std::string& b) {
    const auto first = identityOf(a);
    const auto second = identityOf(b);
    if (first && second) {
        return *first == *second;
    }
    return FileUtils::foldPath(wide(absolutePath(a))) == FileUtils::foldPath(wide(absolutePath(b)));
}

std::string fileName(const std::string& path) { return narrow(FileUtils::leafName(wide(path))); }

std::string parentDirectory(const std::string& path) { return narrow(FileUtils::parentPath(wide(path))); }

std::string joinPath(const std::string& directory, const std::string& relative) {
    tstring parts = wide(relative);
    std::replace(parts.begin(), parts.end(), L'/', L'\\');
    return narrow(FileUtils::joinPath(wide(directory), parts));
}

std::string toolDirectory() { return narrow(FileUtils::parentPath(SysInfo::getProcessModulePath())); }

void writeLine(Stream stream, std::string_view text) {
    const HANDLE handle = standardHandle(stream);
    if (!handle) {
        if (stream == Stream::Out) {
            failStandardOutput(ERROR_INVALID_HANDLE);
        }
        return;
    }
    DWORD mode = 0;
    DWORD error = 0;
    if (GetConsoleMode(handle, &mode)) {
        const tstring line = wide(std::string(text)) + L"\n";
        DWORD written = 0;
        if (!WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
            error = GetLastError();
        } else if (written != line.size()) {
            error = ERROR_WRITE_FAULT;
        }
    } else {
        // Files and pipes get the line ends of Windows' text files, as the C runtime writes them.
        std::string line(text);
        line += "\r\n";
        error = writeWhole(handle, line.data(), line.size());
    }
    if (error != 0 && stream == Stream::Out) {
        failStandardOutput(error);
    }
}

bool standardOutputIs(const std::string& path) {
    const HANDLE output = standardHandle(Stream::Out);
    if (!output || GetFileType(output) != FILE_TYPE_DISK) {
        return false;
    }
    const std::optional<FileIdentity> file = identityOf(path);
    return file && identityOf(output) == file;
}

std::unique_ptr<ByteSink> standardOutputSink() {
    const HANDLE handle = standardHandle(Stream::Out);
    if (!handle) {
        failStandardOutput(ERROR_INVALID_HANDLE);
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        throw Error("Standard output is a console, which cannot show a package; redirect it to a file or a pipe");
    }
    class StandardOutput : public ByteSink {
    public:
        explicit StandardOutput(HANDLE handle) : handle(handle) {}
        void write(const char* data, size_t size) override {
            if (const DWORD error = writeWhole(handle, data, size)) {
                failStandardOutput(error);
            }
        }
        void writeAt(uint64_t, const char*, size_t) override {
            throw Error("Standard output is a stream: bytes already written cannot be changed");
        }

    private:
        HANDLE handle;
    };
    return std::make_unique<StandardOutput>(handle);
}

} // namespace platform

} // namespace pack
