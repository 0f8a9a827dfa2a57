// The packer's Windows layer: files through the Win32 API, installer databases through msi.dll
// (the library's msi::Database), paths and the temporary folder through FileUtils and SysInfo.
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "MsiDb.h"
#include "PackError.h"
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

void writeAt(HANDLE file, uint64_t offset, const char* data, size_t size, const std::string& path) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, DWORD{1} << 30));
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, &at)) {
            const DWORD error = GetLastError();
            fail("Cannot write", path, error);
        }
        data += written;
        offset += written;
        size -= written;
    }
}

class WinInputFile : public InputFile {
public:
    WinInputFile(std::string path, UniqueHandle handle, uint64_t size)
        : path(std::move(path)), handle(std::move(handle)), length(size) {}

    uint64_t size() const override { return length; }

    void readAt(uint64_t offset, char* buffer, size_t count) const override {
        while (count > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
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

class WinScratchFile : public ScratchFile {
public:
    WinScratchFile() {
        try {
            tempName = FileUtils::createTempFile(L"inspect", L".msi", SysInfo::getTempDir());
        } catch (const std::exception& e) {
            throw Error("Cannot create a temporary copy of the package: " + plainMessageOf(e));
        }
        filePath = narrow(tempName);
        file.reset(CreateFileW(tempName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                               FILE_ATTRIBUTE_TEMPORARY, nullptr));
        if (!file) {
            const DWORD error = GetLastError();
            DeleteFileW(tempName.c_str());
            fail("Cannot write the temporary copy of the package", filePath, error);
        }
    }

    ~WinScratchFile() override {
        file.reset();
        DeleteFileW(tempName.c_str());
    }

    void write(const char* data, size_t size) override {
        pack::writeAt(file.get(), position, data, size, filePath);
        position += size;
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        pack::writeAt(file.get(), offset, data, size, filePath);
    }
    const std::string& path() const override { return filePath; }
    void finish() override {
        if (!CloseHandle(file.release())) {
            const DWORD error = GetLastError();
            fail("Cannot write the temporary copy of the package", filePath, error);
        }
    }

private:
    tstring tempName;
    std::string filePath;
    UniqueHandle file;
    uint64_t position = 0;
};

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
    UniqueHandle handle(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && pathKind(path) == PathKind::Directory) {
            throw Error("Cannot read " + path + ": " + describeReason(Reason::IsDirectory, ""));
        }
        fail("Cannot read", path, error);
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
            for (auto [name, value] : {std::pair{"ProductCode", &facts.productCode}, {"ProductName", &facts.productName},
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

PathKind pathKind(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
}

bool sameFile(const std::string& a, const std::string& b) {
    const auto identity = [](const std::string& path) -> std::optional<std::pair<DWORD, uint64_t>> {
        UniqueHandle file(CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!file || !GetFileInformationByHandle(file.get(), &info)) {
            return std::nullopt;
        }
        return std::pair{info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    };
    const auto first = identity(a);
    const auto second = identity(b);
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
    FILE* file = stream == Stream::Out ? stdout : stderr;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        const tstring line = wide(std::string(text)) + L"\n";
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

} // namespace platform

} // namespace pack
