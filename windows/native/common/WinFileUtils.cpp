#include "FileUtils.h"

#include <algorithm>

#include "WinHeaders.h"

#include <shlwapi.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "ErrorHandling.h"
#include "Log.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"

namespace FileUtils {

namespace {

// ERROR_SUCCESS when an empty file was created where nothing existed, else the reason CreateFileW gave.
DWORD createNewFile(const tstring& path) {
    const UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return GetLastError();
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Created [" << path << "] file");
    }
    return ERROR_SUCCESS;
}

// The 32 control characters and the nine printable ones that no file name may hold.
tstring illegalNameCharacters() {
    tstring result;
    for (wchar_t c = 0; c < 0x20; ++c) {
        result += c;
    }
    return result + L"<>:\"|?*/\\";
}

void createDir(const tstring& path, LPSECURITY_ATTRIBUTES security, tstring_array* created) {
    if (CreateDirectoryW(path.c_str(), security)) {
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "Created [" << path << "] directory");
        }
        if (created) {
            created->push_back(trimTrailingSeparators(path));
        }
        return;
    }
    const DWORD error = GetLastError();
    if (security || !isDirectory(path)) {
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "CreateDirectory(" << path << ") failed", CreateDirectoryW, error));
    }
}

// Index just past the `count`-th separator at or after `pos`.
size_t skipSeparators(const tstring& path, size_t pos, int count) {
    for (; count > 0 && pos < path.size(); ++pos) {
        if (isSeparator(path[pos])) {
            --count;
        }
    }
    return pos;
}

// Length of the leading part of a path inside which no directory can be made: the server and
// share of a UNC path, the \\?\ or \\.\ of a device path, or both. Zero for other paths.
size_t uncRootLength(const tstring& path) {
    if (path.size() < 2 || !isSeparator(path[0]) || !isSeparator(path[1])) {
        return 0;
    }
    if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3])) {
        if (path.size() >= 8 && tstrings::equal(path.substr(4, 3), L"UNC", tstrings::IGNORE_CASE) &&
            isSeparator(path[7])) {
            return skipSeparators(path, 8, 2);
        }
        return 4;
    }
    return skipSeparators(path, 2, 2);
}

void moveFileImpl(const tstring& from, const tstring& to, DWORD flags) {
    const bool directory = isDirectory(from);
    if (!MoveFileExW(from.c_str(), to.empty() ? nullptr : to.c_str(), flags)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "MoveFileEx(" << from << ", " << to << ", "
                                                                       << flags << ") failed",
                                            MoveFileExW, error));
    }
    if (!Logger::global().accepts(Severity::TRACE)) {
        return;
    }
    const bool onReboot = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    const char* kind = directory ? "folder" : "file";
    tstrings::MessageBuilder text;
    if (to.empty()) {
        text << (onReboot ? "Delete" : "Deleted") << " '" << from << "' " << kind;
    } else {
        text << (onReboot ? "Move" : "Moved") << " '" << from << "' " << kind << " to '" << to << "'";
    }
    if (onReboot) {
        text << " on reboot";
    }
    logAt(Severity::TRACE, text);
}

bool isGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool deleteFileImpl(const tstring& path) {
    if (!DeleteFileW(path.c_str())) {
        return isGone(GetLastError());
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Deleted [" << path << "] file");
    }
    return true;
}

class DeleteFilesCallback : public DirectoryCallback {
public:
    explicit DeleteFilesCallback(bool throwOnError) : throwOnError(throwOnError) {}

    bool visitFile(const tstring& path) override {
        if (throwOnError) {
            deleteFile(path);
        } else if (!deleteFile(path, std::nothrow)) {
            failed = true;
        }
        return true;
    }

    bool succeeded() const { return !failed; }

protected:
    bool throwOnError;
    bool failed = false;
};

class DeleteAllCallback : public DeleteFilesCallback {
public:
    using DeleteFilesCallback::DeleteFilesCallback;

    bool visitDirectory(const tstring& path) override {
        // A junction or directory link is removed itself; going through it would empty its target,
        // which lies outside the tree.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (throwOnError) {
            if (link) {
                deleteDirectory(path);
            } else {
                deleteDirectoryTree(path);
            }
        } else if (!(link ? deleteDirectory(path, std::nothrow) : deleteDirectoryTree(path, std::nothrow))) {
            failed = true;
        }
        return true;
    }
};

// Deletes the files of one directory, or with `recursive` everything below it and the directory.
class BatchDeleter {
public:
    explicit BatchDeleter(const tstring& directory) : directory(directory) {}

    BatchDeleter& recursive(bool value) {
        isRecursive = value;
        return *this;
    }

    void execute() {
        if (!pathExists(directory)) {
            return;
        }
        deleteEntries(true);
        if (isRecursive) {
            deleteDirectory(directory);
        }
    }

    bool execute(const std::nothrow_t&) {
        if (!pathExists(directory)) {
            return true;
        }
        if (!isDirectory(directory)) {
            return false;
        }
        bool result = false;
        runReporting([&] {
            if (deleteEntries(false)) {
                result = isRecursive ? deleteDirectory(directory, std::nothrow) : true;
            }
        });
        return result;
    }

private:
    bool deleteEntries(bool throwOnError) {
        std::unique_ptr<DeleteFilesCallback> callback = isRecursive
                                                            ? std::make_unique<DeleteAllCallback>(throwOnError)
                                                            : std::make_unique<DeleteFilesCallback>(throwOnError);
        iterateDirectory(directory, *callback);
        return callback->succeeded();
    }

    tstring directory;
    bool isRecursive = false;
};

} // namespace

tstring toAbsolutePath(const tstring& path) {
    if (path.empty()) {
        wchar_t* buffer = _wgetcwd(nullptr, 0);
        if (!buffer) {
            throw TervoError<std::runtime_error>(std::runtime_error("_tgetcwd() failed"));
        }
        const tstring result(buffer);
        free(buffer);
        if (result.empty()) {
            throw TervoError<std::runtime_error>(std::runtime_error("_tgetcwd() returned empty string"));
        }
        return result;
    }
    wchar_t* buffer = _wfullpath(nullptr, path.c_str(), 0);
    if (!buffer) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "_tfullpath(" << path << ") failed").utf8()));
    }
    const tstring result(buffer);
    free(buffer);
    return result;
}

bool pathExists(const tstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isNonEmptyDirectory(const tstring& path) { return isDirectory(path) && !PathIsDirectoryEmptyW(path.c_str()); }

tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory) {
    return createTempFile(prefix, suffix, directory, GetTickCount());
}

tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory,
                       std::uint32_t tickCount) {
    const tstring illegal = illegalNameCharacters();
    if (prefix.find_first_of(illegal) != tstring::npos) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "Illegal characters in prefix=" << prefix).utf8()));
    }
    if (suffix.find_first_of(illegal) != tstring::npos) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "Illegal characters in suffix=" << suffix).utf8()));
    }
    DWORD error = ERROR_SUCCESS;
    for (std::uint32_t attempt = 0; attempt < 100; ++attempt) {
        // Unsigned arithmetic wraps at 2^32; the conversion reads the result as signed.
        const auto number = static_cast<std::int32_t>(tickCount + attempt);
        const tstring name = (tstrings::MessageBuilder() << prefix << number << suffix).str();
        const tstring candidate = PathBuilder() << directory << name;
        error = createNewFile(candidate);
        if (error == ERROR_SUCCESS) {
            return candidate;
        }
    }
    throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "createTempFile(" << prefix << ", " << suffix
                                                                   << ", " << directory << ") failed",
                                        CreateFileW, error));
}

tstring createTempFile(const tstring& path) {
    if (createNewFile(path) == ERROR_SUCCESS) {
        return path;
    }
    return createTempFile(withExtension(leafName(path), tstring()), extensionOf(path), parentPath(path));
}

bool createNewDirectory(const tstring& path, void* securityDescriptor) {
    SECURITY_ATTRIBUTES security{sizeof security, securityDescriptor, FALSE};
    if (CreateDirectoryW(path.c_str(), securityDescriptor ? &security : nullptr)) {
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "Created [" << path << "] directory");
        }
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        return false;
    }
    throw TervoError<SysError>(
        SysError(tstrings::MessageBuilder() << "CreateDirectory(" << path << ") failed", CreateDirectoryW, error));
}

void createDirectoryChain(const tstring& path, tstring_array* created) {
    const tstring chain = trimTrailingSeparators(path) + L'\\';
    const size_t rootLength = uncRootLength(chain);
    for (size_t i = 0; i < chain.size(); ++i) {
        if (isSeparator(chain[i]) && i + 1 > rootLength) {
            createDir(chain.substr(0, i + 1), nullptr, created);
        }
    }
}

void copyFile(const tstring& from, const tstring& to, bool failIfExists) {
    createDirectoryChain(parentPath(to));
    if (!CopyFileW(from.c_str(), to.c_str(), failIfExists)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "CopyFile(" << from << ", " << to << ", "
                                                                       << failIfExists << ") failed",
                                            CopyFileW, error));
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Copied [" << from << "] file to [" << to << "]");
    }
}

void moveFile(const tstring& from, const tstring& to, bool failIfExists) {
    createDirectoryChain(parentPath(to));
    moveFileImpl(from, to,
                 failIfExists ? MOVEFILE_COPY_ALLOWED : MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING);
}

bool deleteFile(const tstring& path, const std::nothrow_t&) {
    bool ok = deleteFileImpl(path);
    const DWORD error = GetLastError();
    if (!ok && error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        SetLastError(error);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            if (SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
                if (Logger::global().accepts(Severity::TRACE)) {
                    logAt(Severity::TRACE,
                          tstrings::MessageBuilder() << "Discarded R/O attribute from [" << path << "] file");
                }
                ok = deleteFileImpl(path);
            } else {
                if (Logger::global().accepts(Severity::WARNING)) {
                    const DWORD attributeError = GetLastError();
                    const SysError warning(tstrings::MessageBuilder() << "Failed to discard R/O attribute from ["
                                                                      << path << "] file. File will not be deleted",
                                           SetFileAttributesW, attributeError);
                    logAt(Severity::WARNING, tstrings::MessageBuilder(std::string(warning.what())));
                }
                SetLastError(error);
            }
        }
    }
    return ok || isGone(GetLastError());
}

void deleteFile(const tstring& path) {
    if (!deleteFile(path, std::nothrow)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "DeleteFile(" << path << ") failed", DeleteFileW, error));
    }
}

bool deleteDirectory(const tstring& path, const std::nothrow_t&) {
    if (!RemoveDirectoryW(path.c_str())) {
        return isGone(GetLastError());
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Deleted [" << path << "] directory");
    }
    return true;
}

void deleteDirectory(const tstring& path) {
    if (!deleteDirectory(path, std::nothrow)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "RemoveDirectory(" << path << ") failed", RemoveDirectoryW, error));
    }
}

void iterateDirectory(const tstring& directory, DirectoryCallback& callback) {
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle find(FindFirstFileW(joinPath(directory, L"*").c_str(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return;
        }
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "FindFirstFile(" << directory << ") failed", FindFirstFileW, error));
    }
    do {
        const tstring name = entry.cFileName;
        const tstring path = joinPath(directory, name);
        if (entry.dwFileAttributes != INVALID_FILE_ATTRIBUTES && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (name != L"." && name != L".." && !callback.visitDirectory(path)) {
                return;
            }
        } else if (!callback.visitFile(path)) {
            return;
        }
    } while (FindNextFileW(find.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "FindNextFile(" << directory << ") failed", FindNextFileW, error));
    }
}

void deleteFilesInDirectory(const tstring& directory) { BatchDeleter(directory).execute(); }

bool deleteFilesInDirectory(const tstring& directory, const std::nothrow_t&) {
    return BatchDeleter(directory).execute(std::nothrow);
}

void deleteDirectoryTree(const tstring& directory) { BatchDeleter(directory).recursive(true).execute(); }

bool deleteDirectoryTree(const tstring& directory, const std::nothrow_t&) {
    return BatchDeleter(directory).recursive(true).execute(std::nothrow);
}

StagedFileWriter::StagedFileWriter(const tstring& destination)
    : tempPath(createTempFile(L"stg", L".tmp", parentPath(destination))), destination(destination) {
    cleanup.addFile(tempPath);
    // The file was created empty a moment ago, so it is opened as it is: truncating it, even when
    // empty, makes ext4 (under Wine) start writing the whole file to disk when it is closed, which
    // then slows down every reader of it and its deletion.
    file.reset(CreateFileW(tempPath.c_str(), GENERIC_WRITE | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "CreateFile(" << tempPath << ") failed", CreateFileW, error));
    }
    // Delete-pending until commit: should the process die before, the system removes the file
    // when its handle goes. Where this is refused the cleanup list still removes it on every
    // failure the process survives.
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

StagedFileWriter::~StagedFileWriter() {
    if (!file) {
        return;
    }
    // Delete-pending since it was made: the system removes it as the handle closes. Where that was
    // refused, the cleanup list deletes it next, and traces that.
    file.reset();
    if (!pathExists(tempPath) && Logger::global().accepts(Severity::TRACE)) {
        const SourceLocation here;
        runReporting([&] { logAt(Severity::TRACE, tstrings::MessageBuilder() << "Deleted [" << tempPath << "] file", here); });
    }
}

StagedFileWriter& StagedFileWriter::write(const void* data, std::size_t size) {
    if (!file) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "Cannot write [" << destination << "]: the file is already committed")
                .utf8()));
    }
    // Large blocks go to the system in one call each, straight from the caller's memory.
    constexpr std::size_t largestWrite = 0x40000000;
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const auto chunk = static_cast<DWORD>(std::min(size, largestWrite));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(
                SysError(tstrings::MessageBuilder() << "WriteFile(" << tempPath << ") failed", WriteFile, error));
        }
        bytes += written;
        size -= written;
    }
    return *this;
}

void StagedFileWriter::commit() {
    if (file) {
        FILE_DISPOSITION_INFO keep{FALSE};
        if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &keep, sizeof keep)) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "SetFileInformationByHandle("
                                                                           << tempPath << ") failed",
                                                SetFileInformationByHandle, error));
        }
    }
    if (file && !CloseHandle(file.release())) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "CloseHandle(" << tempPath << ") failed", CloseHandle, error));
    }
    moveFile(tempPath, destination, false);
    cleanup.clear();
}

} // namespace FileUtils
