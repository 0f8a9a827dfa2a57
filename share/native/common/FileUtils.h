// Operations on the file system. Every failure throws a TervoError; the forms that take
// std::nothrow never throw. Every successful change is traced at TRACE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "PathUtils.h"
#include "UniqueHandle.h"
#include "tstrings.h"

namespace FileUtils {

// The absolute path with . and .. resolved; the current directory for an empty path.
tstring toAbsolutePath(const tstring& path);

bool pathExists(const tstring& path);
// True for a directory and for a link to one.
bool isDirectory(const tstring& path);
bool isNonEmptyDirectory(const tstring& path);

// Creates a new empty file named prefix, a number, suffix in `directory` and returns its path.
// The number is the tick count plus the attempt (0 to 99) read as a signed 32-bit value;
// taken names are skipped. Throws when the prefix or suffix holds a character that no file
// name may hold, or when all 100 names are refused: a system error with the reason the last
// refusal gave (the directory is missing, is a file, cannot be written). The caller removes the file.
tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory);
// The same, numbering from `tickCount` instead of the system's tick count.
tstring createTempFile(const tstring& prefix, const tstring& suffix, const tstring& directory,
                       std::uint32_t tickCount);
// Creates `path` when nothing is there; else a new file beside it, named like it with a number
// before the extension.
tstring createTempFile(const tstring& path);

// Creates the directory `path` with `securityDescriptor` (a SECURITY_DESCRIPTOR, or null for the
// one it inherits). False when something has the name already; other failures throw.
bool createNewDirectory(const tstring& path, void* securityDescriptor = nullptr);

// Creates every missing directory of `path`; an existing one is not an error. Directories that
// were really created are appended to `created` when given. A failure keeps what was made.
void createDirectoryChain(const tstring& path, tstring_array* created = nullptr);

// Both create the destination's directories first. moveFile may copy across volumes.
void copyFile(const tstring& from, const tstring& to, bool failIfExists);
void moveFile(const tstring& from, const tstring& to, bool failIfExists);

// Deletions treat an object that is already gone as deleted. A read-only file loses that
// attribute and is tried once more. The no-throw forms return false and leave the thread's
// last error as the failed call set it.
void deleteFile(const tstring& path);
bool deleteFile(const tstring& path, const std::nothrow_t&);
// Removes an empty directory.
void deleteDirectory(const tstring& path);
bool deleteDirectory(const tstring& path, const std::nothrow_t&);

// The visitor of iterateDirectory: return false to stop the enumeration.
class DirectoryCallback {
public:
    virtual ~DirectoryCallback() = default;
    virtual bool visitFile(const tstring&) { return true; }
    // Never called for . and ..
    virtual bool visitDirectory(const tstring&) { return true; }
};

// Passes the full path of every entry of one directory level to `callback`, in the system's
// order. A missing directory throws; an empty listing does not.
void iterateDirectory(const tstring& directory, DirectoryCallback& callback);

// Collects the paths below a root, each directory right before its content. A root that is not
// a directory collects nothing.
class DirectoryIterator : public DirectoryCallback {
public:
    explicit DirectoryIterator(const tstring& root) : root(root) {}

    DirectoryIterator& recurse(bool value) {
        recurseInto = value;
        return *this;
    }
    DirectoryIterator& includeFiles(bool value) {
        filesIncluded = value;
        return *this;
    }
    DirectoryIterator& includeDirectories(bool value) {
        directoriesIncluded = value;
        return *this;
    }

    // Appends what it finds to `list`.
    DirectoryIterator& collect(tstring_array& list);

    bool visitFile(const tstring& path) override;
    bool visitDirectory(const tstring& path) override;

private:
    bool recurseInto = true;
    bool filesIncluded = true;
    bool directoriesIncluded = true;
    tstring root;
    tstring_array items;
};

// Deletes the files directly inside a directory; subdirectories stay.
void deleteFilesInDirectory(const tstring& directory);
bool deleteFilesInDirectory(const tstring& directory, const std::nothrow_t&);
// Deletes a directory with everything below it. The no-throw form deletes all it can and
// keeps only what failed and the directories above it.
void deleteDirectoryTree(const tstring& directory);
bool deleteDirectoryTree(const tstring& directory, const std::nothrow_t&);

// Creates a new empty directory named like a createTempFile name, with `securityDescriptor` as in
// createNewDirectory, and returns its path.
tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& directory,
                            void* securityDescriptor = nullptr);

// The numeric order is the order in which a DeletionList runs its entries.
enum class DeletionKind : std::int32_t {
    File = 0,
    FilesInDirectory = 1,
    DirectoryTree = 2,
    EmptyDirectory = 3
};

// Pending deletions, run once when the list is destroyed: by kind, then in the order added.
// Running never throws and reports nothing of its own; what cannot be deleted stays.
class DeletionList {
public:
    DeletionList() = default;
    ~DeletionList();
    DeletionList(const DeletionList&) = delete;
    DeletionList& operator=(const DeletionList&) = delete;

    DeletionList& addFile(const tstring& path);
    DeletionList& addFilesInDirectory(const tstring& directory);
    DeletionList& addDirectoryTree(const tstring& directory);
    DeletionList& addEmptyDirectory(const tstring& directory);
    // Every directory from root\relative up to, not including, root: absolute folded paths,
    // deepest first. A relative path that does not lead below the root, once . and .. are
    // resolved as the system resolves them, schedules nothing.
    DeletionList& addEmptyDirectoryChain(const std::pair<tstring, tstring>& rootAndRelativePath);
    // Cancels every pending deletion.
    DeletionList& clear();

private:
    struct Entry {
        tstring path;
        DeletionKind kind;
    };
    std::vector<Entry> entries;
};

// Writes a file under a temporary name in the destination's directory and renames it onto the
// destination in commit, so the destination is only ever seen complete. Without a completed
// commit the temporary file is removed and the destination is not touched. Every failure,
// a write after commit included, throws.
class StagedFileWriter {
public:
    explicit StagedFileWriter(const tstring& destination);
    // Removes the temporary file of a writer that was not committed, traced like any deletion.
    ~StagedFileWriter();
    StagedFileWriter(const StagedFileWriter&) = delete;
    StagedFileWriter& operator=(const StagedFileWriter&) = delete;

    StagedFileWriter& write(const void* data, std::size_t size);
    // Closes the file and moves it onto the destination, replacing a file there.
    void commit();

private:
    tstring tempPath;
    DeletionList cleanup;
    UniqueHandle file;
    tstring destination;
};

} // namespace FileUtils
