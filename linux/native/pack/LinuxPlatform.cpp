#include "LinuxPlatform.h"

#include <fcntl.h>
#include <libmsi.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "PackError.h"
#include "PackageTexts.h"

namespace pack {

namespace {

Reason reasonOf(int error) {
    switch (error) {
    case ENOENT:
        return Reason::NotFound;
    case EISDIR:
        return Reason::IsDirectory;
    case EACCES:
    case EPERM:
    case EROFS:
        return Reason::AccessDenied;
    case EBUSY:
    case ETXTBSY:
        return Reason::InUse;
    case ENOSPC:
    case EDQUOT:
        return Reason::DiskFull;
    default:
        return Reason::Other;
    }
}

[[noreturn]] void fail(const std::string& action, const std::string& path, int error,
                       const std::source_location& location = std::source_location::current()) {
    throw Error(action + " " + path + ": " + describeReason(reasonOf(error), std::strerror(error)), location);
}

// What a file that is neither a regular file nor a folder is, in words that follow "path: ".
std::string describeNonRegular(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "it is a pipe (FIFO), not a regular file";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "it is a device, not a regular file";
    }
    if (S_ISSOCK(mode)) {
        return "it is a socket, not a regular file";
    }
    return "it is not a regular file";
}

// Why a path that could not be looked up cannot be used, for the errors that do not mean "not
// there"; empty for those that do.
std::string describeUnreachable(const std::string& path, int error) {
    switch (error) {
    case ELOOP:
        return "its symbolic links form a loop";
    case ENAMETOOLONG:
        if (path.size() >= PATH_MAX) {
            return "its absolute path has " + std::to_string(path.size()) + " bytes, more than the system's limit of " +
                   std::to_string(PATH_MAX - 1) + "; use a shorter path";
        }
        return "a name in its path is longer than the file system allows";
    case EACCES:
    case EPERM:
        return "access to a folder on its path is denied";
    default:
        return std::strerror(error);
    }
}

[[noreturn]] void failStandardOutput(int error, const std::source_location& location = std::source_location::current()) {
    const std::string reason = error == EBADF  ? "it is closed"
                               : error == EPIPE ? "the program reading it has ended"
                                                : describeReason(reasonOf(error), std::strerror(error));
    throw Error("Cannot write to standard output: " + reason, location);
}

// A file descriptor with one owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd = other.fd;
            other.fd = -1;
        }
        return *this;
    }
    int get() const noexcept { return fd; }
    explicit operator bool() const noexcept { return fd >= 0; }
    // Closes now and reports the result, for the close that completes a write.
    int close() noexcept {
        const int result = fd >= 0 ? ::close(fd) : 0;
        fd = -1;
        return result;
    }
    void reset() noexcept {
        if (fd >= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
        }
        fd = -1;
    }

private:
    int fd;
};

[[noreturn]] void failShortened(const std::string& path,
                                const std::source_location& location = std::source_location::current()) {
    throw Error("Cannot read " + path + ": it was shortened while being read", location);
}

void readAllAt(int fd, uint64_t offset, char* buffer, size_t count, const std::string& path) {
    while (count > 0) {
        const ssize_t got = ::pread(fd, buffer, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail("Cannot read", path, errno);
        }
        if (got == 0) {
            failShortened(path);
        }
        buffer += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<size_t>(got);
    }
}

class LinuxInputFile : public InputFile {
public:
    LinuxInputFile(std::string path, Descriptor fd, uint64_t size) : filePath(std::move(path)), fd(std::move(fd)), length(size) {}

    uint64_t size() const override { return length; }
    void readAt(uint64_t offset, char* buffer, size_t count) const override {
        readAllAt(fd.get(), offset, buffer, count, filePath);
    }
    int descriptor() const { return fd.get(); }
    const std::string& path() const { return filePath; }

private:
    std::string filePath;
    Descriptor fd;
    uint64_t length;
};

void writeAll(int fd, const char* data, size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            fail("Cannot write", path, errno);
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
}

void writeAllAt(int fd, uint64_t offset, const char* data, size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            fail("Cannot write", path, errno);
        }
        data += done;
        offset += static_cast<uint64_t>(done);
        size -= static_cast<size_t>(done);
    }
}

// Pieces of a copy: large enough that the system call costs nothing, small enough that the
// reader following the copy is never far behind.
constexpr size_t copyPiece = size_t{4} << 20;
constexpr size_t readPiece = size_t{256} << 10;

// Appends a range of one file to another on a thread of its own, inside the kernel where the two
// file systems allow it, and tells how far it has got. Destroyed early, it stops after the piece
// it is copying.
class BackgroundCopy {
public:
    BackgroundCopy(const LinuxInputFile& from, uint64_t offset, uint64_t size, int to, const std::string& destination)
        : from(from), offset(offset), size(size), to(to), destination(destination), worker([this] { run(); }) {}

    ~BackgroundCopy() {
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        worker.join();
    }

    // Waits until more than `done` bytes are copied and returns how many are; throws what ended
    // the copy.
    uint64_t waitBeyond(uint64_t done) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return copied > done || failure; });
        if (failure) {
            std::rethrow_exception(failure);
        }
        return copied;
    }

private:
    void run() noexcept {
        try {
            uint64_t at = offset;
            bool inKernel = true;
            std::vector<char> buffer;
            for (uint64_t left = size; left > 0;) {
                {
                    const std::lock_guard lock(mutex);
                    if (stopping) {
                        return;
                    }
                }
                size_t done = 0;
                if (inKernel) {
                    loff_t in = static_cast<loff_t>(at);
                    const ssize_t result =
                        ::copy_file_range(from.descriptor(), &in, to, nullptr, std::min<uint64_t>(left, copyPiece), 0);
                    if (result < 0 && errno == EINTR) {
                        continue;
                    }
                    // Other file systems, or none that copies in the kernel: the bytes pass through here.
                    if (result < 0 && at == offset && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                        inKernel = false;
                        continue;
                    }
                    if (result < 0) {
                        fail("Cannot write", destination, errno);
                    }
                    if (result == 0) {
                        failShortened(from.path());
                    }
                    done = static_cast<size_t>(result);
                } else {
                    buffer.resize(readPiece);
                    done = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
                    from.readAt(at, buffer.data(), done);
                    writeAll(to, buffer.data(), done, destination);
                }
                at += done;
                left -= done;
                const std::lock_guard lock(mutex);
                copied += done;
                changed.notify_all();
            }
        } catch (...) {
            const std::lock_guard lock(mutex);
            failure = std::current_exception();
            changed.notify_all();
        }
    }

    const LinuxInputFile& from;
    const uint64_t offset;
    const uint64_t size;
    const int to;
    const std::string& destination;
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t copied = 0;
    std::exception_ptr failure;
    bool stopping = false;
    // Last: the thread starts once everything it uses is in place.
    std::thread worker;
};

// A hidden name beside `destination`, random enough that another writer's is never the same. It is
// short whatever the destination's name, so that any name the file system takes for the
// destination can be staged beside it.
std::string siblingName(const std::string& destination) {
    static std::mt19937_64 random(std::random_device{}());
    char name[32];
    std::snprintf(name, sizeof name, ".tervo-%016llx.tmp", static_cast<unsigned long long>(random()));
    return platform::joinPath(platform::parentDirectory(destination), name);
}

constexpr int attempts = 100;

// The named temporary file of a staged output, removed should the process be ended by a signal.
std::atomic<const char*> pendingName{nullptr};

void removePending(int signal) {
    const char* name = pendingName.exchange(nullptr);
    if (name) {
        ::unlink(name);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class LinuxStagedOutput : public StagedOutput {
public:
    // `mode` is the file's mode before the umask.
    LinuxStagedOutput(const std::string& destination, linux_platform::Staging staging, mode_t mode) : destination(destination) {
        if (staging == linux_platform::Staging::Unnamed) {
            fd = Descriptor(::open(platform::parentDirectory(destination).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
            if (!fd && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
                fail("Cannot write", destination, errno);
            }
        }
        if (fd) {
            return;
        }
        for (int attempt = 0; !fd && attempt < attempts; ++attempt) {
            const std::string name = siblingName(destination);
            fd = Descriptor(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
            if (fd) {
                tempName = name;
            } else if (errno != EEXIST) {
                fail("Cannot write", destination, errno);
            }
        }
        if (!fd) {
            throw Error("Cannot write " + destination + ": no free name for a temporary file beside it");
        }
        pendingName = tempName.c_str();
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            std::signal(signal, removePending);
        }
    }

    ~LinuxStagedOutput() override {
        if (!tempName.empty()) {
            pendingName = nullptr;
            ::unlink(tempName.c_str());
        }
    }

    void write(const char* data, size_t size) override { writeAll(fd.get(), data, size, destination); }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        writeAllAt(fd.get(), offset, data, size, destination);
    }

    // The copy runs on another thread while this one reads the copied bytes back from the page
    // cache and hands them on: what `written` sees, and so every checksum taken of it, is what
    // the file holds, even should the source change meanwhile. This thread also hands each piece
    // to the disk, without waiting: the rename that puts the file in place would otherwise have
    // to start writing all of it at once, which cost as much as the copy.
    bool copyFrom(const InputFile& file, uint64_t offset, uint64_t size, const ChunkConsumer& written) override {
        const auto* input = dynamic_cast<const LinuxInputFile*>(&file);
        if (!input || size < copyThreshold) {
            return false;
        }
        const off_t start = ::lseek(fd.get(), 0, SEEK_CUR);
        if (start < 0) {
            fail("Cannot write", destination, errno);
        }
        std::optional<BackgroundCopy> copy;
        try {
            copy.emplace(*input, offset, size, fd.get(), destination);
        } catch (const std::system_error&) {
            return false;
        }
        std::vector<char> buffer(readPiece);
        for (uint64_t handed = 0; handed < size;) {
            const uint64_t copied = copy->waitBeyond(handed);
            const uint64_t from = static_cast<uint64_t>(start) + handed;
            while (handed < copied) {
                const size_t piece = static_cast<size_t>(std::min<uint64_t>(copied - handed, buffer.size()));
                readAllAt(fd.get(), static_cast<uint64_t>(start) + handed, buffer.data(), piece, destination);
                written(buffer.data(), piece);
                handed += piece;
            }
            startWriteBack(from, static_cast<uint64_t>(start) + copied - from);
        }
        return true;
    }

    void startWriteBack(uint64_t at, uint64_t count) {
        if (writeBack && ::sync_file_range(fd.get(), static_cast<off_t>(at), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE) != 0) {
            // An error of the disk is one of the file; anything else means a file system that
            // takes no such hint, and the rename starts the writing instead.
            if (errno == EIO || errno == ENOSPC) {
                fail("Cannot write", destination, errno);
            }
            writeBack = false;
        }
    }

    // The data is handed to the system, not forced to the disk: an interrupted or failed run
    // leaves the destination as it was either way, and waiting for the disk would more than
    // double the time of a pack.
    void commit() override {
        if (tempName.empty()) {
            // An unnamed file gets a name by a link through /proc, which needs no privilege,
            // and that name then replaces the destination in one rename.
            const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
            int linked = -1;
            for (int attempt = 0; linked != 0 && attempt < attempts; ++attempt) {
                tempName = siblingName(destination);
                linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tempName.c_str(), AT_SYMLINK_FOLLOW);
                if (linked != 0 && errno != EEXIST) {
                    const int error = errno;
                    tempName.clear();
                    fail("Cannot write", destination, error);
                }
            }
            if (linked != 0) {
                tempName.clear();
                throw Error("Cannot write " + destination + ": no free name for a temporary file beside it");
            }
        }
        if (fd.close() != 0) {
            fail("Cannot write", destination, errno);
        }
        if (::rename(tempName.c_str(), destination.c_str()) != 0) {
            fail("Cannot write", destination, errno);
        }
        pendingName = nullptr;
        tempName.clear();
    }

private:
    // Below this a thread costs more than the copy it saves.
    static constexpr uint64_t copyThreshold = uint64_t{1} << 20;
    bool writeBack = true;
    std::string destination;
    std::string tempName;
    Descriptor fd;
};

// The package's copy for libmsi, in the folder for temporary files: TMPDIR, else /tmp. Unnamed
// where the file system allows, reached through /proc; else a named file removed with the object.
// Failures name the folder and say that it is the temporary folder: the user chose none.
class LinuxScratchFile : public ScratchFile {
public:
    LinuxScratchFile() {
        const char* variable = std::getenv("TMPDIR");
        const bool fromVariable = variable && *variable;
        const std::string folder = fromVariable ? variable : "/tmp";
        where = "the temporary folder " + folder + (fromVariable ? " (TMPDIR)" : "");
        fd = Descriptor(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
            std::string name = platform::joinPath(folder, "tervo-pack-XXXXXX");
            fd = Descriptor(::mkostemp(name.data(), O_CLOEXEC));
            if (fd) {
                namedPath = name;
            }
        }
        if (!fd) {
            failIn("Cannot create a temporary file in", errno);
        }
        // The library opens it again by this path; an unnamed file vanishes with the descriptor.
        filePath = namedPath.empty() ? "/proc/self/fd/" + std::to_string(fd.get()) : namedPath;
    }

    ~LinuxScratchFile() override {
        if (!namedPath.empty()) {
            ::unlink(namedPath.c_str());
        }
    }

    void write(const char* data, size_t size) override {
        writeAt(position, data, size);
        position += size;
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override {
        while (size > 0) {
            const ssize_t done = ::pwrite(fd.get(), data, size, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done < 0) {
                failIn("Cannot write a temporary copy of the package in", errno);
            }
            data += done;
            offset += static_cast<uint64_t>(done);
            size -= static_cast<size_t>(done);
        }
    }
    const std::string& path() const override { return filePath; }
    void finish() override {}

private:
    [[noreturn]] void failIn(const std::string& action, int error) const {
        const Reason reason = reasonOf(error);
        const std::string hint = reason == Reason::DiskFull       ? "; free space there or set TMPDIR to another folder"
                                 : reason == Reason::Other         ? ""
                                                                   : "; set TMPDIR to another folder";
        throw Error(action + " " + where + ": " + describeReason(reason, std::strerror(error)) + hint);
    }

    Descriptor fd;
    std::string where;
    std::string namedPath;
    std::string filePath;
    uint64_t position = 0;
};

// GLib objects with one owner.
struct ObjectUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

// The text of each row's fields; nullopt when the query fails.
std::optional<std::vector<std::vector<std::string>>> select(LibmsiDatabase* database, const std::string& sql,
                                                            unsigned columns) {
    GError* error = nullptr;
    GObjectPtr<LibmsiQuery> query(libmsi_query_new(database, sql.c_str(), &error));
    if (!query || !libmsi_query_execute(query.get(), nullptr, &error)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    std::vector<std::vector<std::string>> rows;
    while (GObjectPtr<LibmsiRecord> record{libmsi_query_fetch(query.get(), &error)}) {
        std::vector<std::string> row;
        for (unsigned field = 1; field <= columns; ++field) {
            if (libmsi_record_is_null(record.get(), field)) {
                row.emplace_back();
                continue;
            }
            gchar* text = libmsi_record_get_string(record.get(), field);
            row.emplace_back(text ? text : "");
            g_free(text);
        }
        rows.push_back(std::move(row));
    }
    // The end of the rows is reported as an error too.
    g_clear_error(&error);
    return rows;
}

} // namespace

namespace linux_platform {

std::unique_ptr<StagedOutput> createStagedOutput(const std::string& destination, Staging staging, OutputKind kind) {
    return std::make_unique<LinuxStagedOutput>(destination, staging, kind == OutputKind::Program ? 0755 : 0644);
}

} // namespace linux_platform

namespace platform {

std::unique_ptr<InputFile> openInput(const std::string& path) {
    // Opened without waiting, so that a pipe with no writer cannot hold the tool, and checked to
    // be a regular file before anything is read.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        const int error = errno;
        if (error == ELOOP || error == ENAMETOOLONG) {
            throw Error("Cannot read " + path + ": " + describeUnreachable(path, error));
        }
        fail("Cannot read", path, error);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        fail("Cannot read", path, errno);
    }
    if (S_ISDIR(status.st_mode)) {
        fail("Cannot read", path, EISDIR);
    }
    if (!S_ISREG(status.st_mode)) {
        throw Error("Cannot read " + path + ": " + describeNonRegular(status.st_mode));
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        fail("Cannot read", path, errno);
    }
    return std::make_unique<LinuxInputFile>(path, std::move(fd), static_cast<uint64_t>(status.st_size));
}

std::unique_ptr<StagedOutput> createStagedOutput(const std::string& destination, OutputKind kind) {
    return linux_platform::createStagedOutput(destination, linux_platform::Staging::Unnamed, kind);
}

std::unique_ptr<ScratchFile> createScratchFile() { return std::make_unique<LinuxScratchFile>(); }

std::optional<PackageFacts> readPackageFacts(const std::string& path) {
    // libmsi logs why a file is no database; the caller says so in its own words.
    struct QuietLog {
        QuietLog() : previous(g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr)) {}
        ~QuietLog() { g_log_set_default_handler(previous, nullptr); }
        GLogFunc previous;
    } quiet;
    GError* error = nullptr;
    GObjectPtr<LibmsiDatabase> database(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &error));
    if (!database) {
        g_clear_error(&error);
        return std::nullopt;
    }
    const auto hasTable = [&](const char* table) {
        const auto rows = select(database.get(), queries::withName(queries::tableExists, table), 1);
        return rows && !rows->empty();
    };
    PackageFacts facts;
    if (hasTable("Property")) {
        for (auto [name, value] : {std::pair{"ProductCode", &facts.productCode}, {"UpgradeCode", &facts.upgradeCode}, {"ProductName", &facts.productName},
                                   {"ProductVersion", &facts.productVersion}, {"Manufacturer", &facts.manufacturer}}) {
            const auto rows = select(database.get(), queries::withName(queries::property, name), 1);
            if (!rows) {
                return std::nullopt;
            }
            *value = rows->empty() ? "" : rows->front()[0];
        }
    }
    if (hasTable("Media")) {
        const auto rows = select(database.get(), queries::cabinets, 1);
        if (!rows) {
            return std::nullopt;
        }
        for (const auto& row : *rows) {
            if (!row[0].empty()) {
                facts.cabinets.push_back(row[0]);
            }
        }
    }
    if (hasTable("File")) {
        const auto rows = select(database.get(), queries::files, 2);
        if (!rows) {
            return std::nullopt;
        }
        for (const auto& row : *rows) {
            facts.files.push_back({row[0], static_cast<int32_t>(std::strtol(row[1].c_str(), nullptr, 10))});
        }
    }
    GObjectPtr<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database.get(), 0, &error));
    if (summary && libmsi_summary_info_get_property_type(summary.get(), LIBMSI_PROPERTY_SOURCE, &error) ==
                       LIBMSI_PROPERTY_TYPE_INT) {
        facts.wordCount = libmsi_summary_info_get_int(summary.get(), LIBMSI_PROPERTY_SOURCE, &error);
    }
    g_clear_error(&error);
    // The Property values as the Windows tool reads them: libmsi reads invalid UTF-8 as empty.
    if (!readPropertyTexts(*openInput(path), facts)) {
        return std::nullopt;
    }
    return facts;
}

std::string absolutePath(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        char* current = ::getcwd(nullptr, 0);
        if (!current) {
            fail("Cannot resolve", path, errno);
        }
        joined = std::string(current) + "/" + path;
        std::free(current);
    }
    // . and .. resolved by the text, as the user wrote them; links stay.
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        const size_t end = std::min(joined.find('/', start), joined.size());
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

PathState examinePath(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return {PathKind::Directory, ""};
        }
        // Files of /proc and /sys look regular but are views of the system, which no one packs or replaces.
        struct statfs system {};
        if (S_ISREG(status.st_mode) && ::statfs(path.c_str(), &system) == 0 &&
            (system.f_type == PROC_SUPER_MAGIC || system.f_type == SYSFS_MAGIC)) {
            return {PathKind::Other, "it is an entry of /proc or /sys, not a regular file"};
        }
        if (S_ISREG(status.st_mode)) {
            return {PathKind::File, ""};
        }
        return {PathKind::Other, describeNonRegular(status.st_mode)};
    }
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            std::string target(PATH_MAX, '\0');
            const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(length > 0 ? static_cast<size_t>(length) : 0);
            return {PathKind::Unreachable, "it is a symbolic link to " + target + ", which does not exist"};
        }
        return {PathKind::Missing, ""};
    }
    return {PathKind::Unreachable, describeUnreachable(path, error)};
}

std::string linkTarget(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) {
        const int error = errno;
        throw Error("Cannot write " + path + ": the file its symbolic link leads to cannot be named: " +
                    describeUnreachable(path, error));
    }
    const std::string target = resolved;
    std::free(resolved);
    // A link through /proc to a file that has since been removed resolves to a name that is not it.
    struct stat through {}, named {};
    if (::stat(path.c_str(), &through) != 0 || ::stat(target.c_str(), &named) != 0 || through.st_dev != named.st_dev ||
        through.st_ino != named.st_ino) {
        throw Error("Cannot write " + path + ": the file its symbolic link leads to has no name of its own (" + target + ")");
    }
    return target;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0) {
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }
    return absolutePath(a) == absolutePath(b);
}

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string parentDirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string joinPath(const std::string& directory, const std::string& relative) {
    return directory.empty() || directory.back() == '/' ? directory + relative : directory + "/" + relative;
}

std::string toolDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) {
        fail("Cannot find the tool's own file", "/proc/self/exe", errno);
    }
    buffer.resize(static_cast<size_t>(length));
    return parentDirectory(buffer);
}

void writeLine(Stream stream, std::string_view text) {
    std::string line(text);
    line += '\n';
    const int fd = stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
    for (size_t done = 0; done < line.size();) {
        const ssize_t written = ::write(fd, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (stream == Stream::Out) {
                failStandardOutput(written < 0 ? errno : EIO);
            }
            return;
        }
        done += static_cast<size_t>(written);
    }
}

bool standardOutputIs(const std::string& path) {
    struct stat output {}, file {};
    return ::fstat(STDOUT_FILENO, &output) == 0 && ::stat(path.c_str(), &file) == 0 && output.st_dev == file.st_dev &&
           output.st_ino == file.st_ino;
}

std::unique_ptr<ByteSink> standardOutputSink() {
    if (::isatty(STDOUT_FILENO)) {
        throw Error("Standard output is a terminal, which cannot show a package; redirect it to a file or a pipe");
    }
    class StandardOutput : public ByteSink {
    public:
        void write(const char* data, size_t size) override {
            while (size > 0) {
                const ssize_t done = ::write(STDOUT_FILENO, data, size);
                if (done < 0 && errno == EINTR) {
                    continue;
                }
                if (done <= 0) {
                    failStandardOutput(done < 0 ? errno : EIO);
                }
                data += done;
                size -= static_cast<size_t>(done);
            }
        }
        void writeAt(uint64_t, const char*, size_t) override {
            throw Error("Standard output is a stream: bytes already written cannot be changed");
        }
    };
    return std::make_unique<StandardOutput>();
}

} // namespace platform

} // namespace pack
