// What the packer asks of the system it runs on. The core never calls the system itself: each
// system implements these declarations in its own layer (windows/native/pack/ or
// linux/native/pack/), which the build links in. Paths and texts are UTF-8; every failure throws
// pack::Error naming the user's path and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pack {

// Consumes a run of bytes piece by piece, in order.
using ChunkConsumer = std::function<void(const char* data, size_t size)>;

// A file opened for reading; others may read it meanwhile.
class InputFile {
public:
    virtual ~InputFile() = default;
    virtual uint64_t size() const = 0;
    // Reads exactly `count` bytes at `offset`; throws when the file ends before.
    virtual void readAt(uint64_t offset, char* buffer, size_t count) const = 0;
};

// Where written bytes go: in order, and at the end a few bytes patched at earlier offsets.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends the bytes; takes the whole range or throws.
    virtual void write(const char* data, size_t size) = 0;
    // Overwrites bytes already written; the length does not change.
    virtual void writeAt(uint64_t offset, const char* data, size_t size) = 0;
    // Appends `size` bytes of `file` from `offset` by a way faster than reading and writing them,
    // where the system has one, and hands the bytes as they were written to `written`, in order,
    // while the copy goes on; throws when the copy or `written` fails. Returns false, having
    // written nothing, when this sink has no such way: the caller then writes the bytes itself.
    virtual bool copyFrom([[maybe_unused]] const InputFile& file, [[maybe_unused]] uint64_t offset,
                          [[maybe_unused]] uint64_t size, [[maybe_unused]] const ChunkConsumer& written) {
        return false;
    }
};

// The new content of a destination, built where the destination's folder is and invisible under
// the destination's name until commit, which hands the last bytes to the system and puts the file
// in place in one step. Destroyed without commit, or the process killed, the destination stays as
// it was and no temporary file remains.
class StagedOutput : public ByteSink {
public:
    virtual void commit() = 0;
};

// A temporary file for a library that reads files by path only. It is removed when destroyed.
class ScratchFile : public ByteSink {
public:
    // The path to hand to the library once finish() has returned.
    virtual const std::string& path() const = 0;
    // Flushes what was written so that the file can be opened by its path.
    virtual void finish() = 0;
};

// A row of the File table: its long file name and attributes.
struct PackageFile {
    std::string name;
    int32_t attributes = 0;
};

// What an installer database says about the product and where its files are stored.
struct PackageFacts {
    // Property table values, read from the package's bytes and decoded by one rule on every
    // system (PackageTexts.h); empty when the row is missing.
    std::string productCode;
    std::string upgradeCode;
    std::string productName;
    std::string productVersion;
    std::string manufacturer;
    // Those of the above whose bytes were not valid in the package's codepage (UTF-8).
    std::vector<std::string> replacedTexts;
    // The summary information's word count (bit 1: files compressed by default).
    int32_t wordCount = 0;
    // Non-empty Cabinet values of the Media table, by DiskId.
    std::vector<std::string> cabinets;
    // The File table, by Sequence.
    std::vector<PackageFile> files;
};

// The queries both systems run, so that they read the same facts.
namespace queries {
inline constexpr const char* property = "SELECT `Value` FROM `Property` WHERE `Property` = '%s'";
inline constexpr const char* cabinets = "SELECT `Cabinet` FROM `Media` ORDER BY `DiskId`";
inline constexpr const char* files = "SELECT `FileName`, `Attributes` FROM `File` ORDER BY `Sequence`";
inline constexpr const char* tableExists = "SELECT `Name` FROM `_Tables` WHERE `Name` = '%s'";
// The query with its %s replaced by `name`.
inline std::string withName(std::string query, const std::string& name) { return query.replace(query.find("%s"), 2, name); }
} // namespace queries

// What a staged output holds: a program, which systems that mark files runnable mark so, or data.
enum class OutputKind { Program, Data };

// What a path names, following symbolic links. Missing: nothing is there (a file may be made
// there once its folder exists). Other: a device, a pipe or a socket, which the tool neither
// reads nor replaces. Unreachable: a symbolic link to nothing, a loop of links, a path longer
// than the system takes, or a folder on the way that may not be searched.
enum class PathKind { Missing, File, Directory, Other, Unreachable };

struct PathState {
    PathKind kind = PathKind::Missing;
    // For Other and Unreachable, what is wrong in words that follow the path and a colon: "it is
    // a pipe (FIFO), not a regular file", "its symbolic links form a loop". Empty otherwise.
    std::string reason;
};

enum class Stream { Out, Err };

namespace platform {

// Throws naming the path and the reason (not found, a directory, a pipe or device, access
// denied). Never waits: a pipe or a device is refused before anything is read from it.
std::unique_ptr<InputFile> openInput(const std::string& path);
// Throws naming the destination and the reason; the caller has checked that its folder exists.
std::unique_ptr<StagedOutput> createStagedOutput(const std::string& destination, OutputKind kind = OutputKind::Program);
// A scratch file in the system's folder for temporary files; its failures name that folder.
std::unique_ptr<ScratchFile> createScratchFile();
// The process's standard output as a sink for a stream of bytes (writeAt is not possible). Throws
// when it is a terminal, which binary data would only garble.
std::unique_ptr<ByteSink> standardOutputSink();
// True when the process's standard output is the existing file `path` names, by any name (a
// hard or symbolic link included), so that what is written there would change that file.
bool standardOutputIs(const std::string& path);
// Opens the package read-only; nullopt when the installer database library cannot open it, or
// the Property values cannot be read from its bytes (readPropertyTexts, which each system calls).
std::optional<PackageFacts> readPackageFacts(const std::string& path);

// The absolute form of `path`, with . and .. resolved.
std::string absolutePath(const std::string& path);
PathState examinePath(const std::string& path);
inline PathKind pathKind(const std::string& path) { return examinePath(path).kind; }
// The file a destination that exists stands for: the final target when its last part is a
// symbolic link (so that the file the link leads to is replaced, not the link), else the path
// itself. Throws naming `path` when the target cannot be named.
std::string linkTarget(const std::string& path);
// True when both name the same file: the same existing file (by any path, hard or symbolic
// link), or the same absolute path.
bool sameFile(const std::string& a, const std::string& b);
// The last part of an absolute path, and the folder that holds it.
std::string fileName(const std::string& path);
std::string parentDirectory(const std::string& path);
// `relative` (parts separated by '/') below `directory`, in the system's spelling.
std::string joinPath(const std::string& directory, const std::string& relative);
// The folder that holds the running tool.
std::string toolDirectory();

// Writes one line: to a console as Unicode, anywhere else as UTF-8. A line for standard output
// that cannot be written whole (a full disk, a closed stream) throws naming standard output and
// the reason; standard error is written as far as it can be, since nothing could report that.
void writeLine(Stream stream, std::string_view text);

} // namespace platform

} // namespace pack
