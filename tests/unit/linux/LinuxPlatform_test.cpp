// The Linux layer: staged output with and without unnamed files, its mode, a tool killed half-way,
// non-ASCII names, reads that fail, and package facts read through libmsi. Then the tool on Linux
// against hostile paths: symbolic links, pipes, devices, hard links, standard output that fails
// or is a pipe or a terminal, names and paths as long as the system takes, full disks.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include "LinuxPlatform.h"
#include "PackCommands.h"
#include "PackTestSupport.h"

using namespace pack;
using linux_platform::Staging;

namespace {

class LinuxPlatformTest : public PackTempDirTest {};

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(0, ::stat(path.c_str(), &status)) << path;
    return status.st_mode & 07777;
}

// Sets the umask for the scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old); }

private:
    mode_t old;
};

} // namespace

TEST_F(LinuxPlatformTest, StagedOutputIsInvisibleUntilCommitAndRunnableAfter) {
    const ScopedUmask mask(022);
    const std::string target = pathOf("Ääni 日本.exe");
    const struct {
        Staging staging;
        size_t visibleWhileWriting;
    } cases[] = {{Staging::Unnamed, 1}, {Staging::Named, 2}};
    for (const auto& c : cases) {
        writeBytes(target, "old contents");
        {
            const auto output = linux_platform::createStagedOutput(target, c.staging);
            output->write("new ", 4);
            output->write("contents", 8);
            EXPECT_EQ(c.visibleWhileWriting, folderNames(dir).size());
            EXPECT_EQ("old contents", readBytes(target)) << "abandoned: the destination stays";
        }
        EXPECT_EQ(std::vector<std::string>{"Ääni 日本.exe"}, folderNames(dir)) << "no temporary file remains";
        const auto output = linux_platform::createStagedOutput(target, c.staging);
        output->write("new contents", 12);
        output->writeAt(0, "NEW", 3);
        output->commit();
        EXPECT_EQ("NEW contents", readBytes(target));
        EXPECT_EQ(0755u, modeOf(target));
        EXPECT_EQ(std::vector<std::string>{"Ääni 日本.exe"}, folderNames(dir));
    }
    const ScopedUmask strict(077);
    const auto output = platform::createStagedOutput(pathOf("private.exe"));
    output->commit();
    EXPECT_EQ(0700u, modeOf(pathOf("private.exe"))) << "the umask applies";
}

TEST_F(LinuxPlatformTest, PackedLaunchersAreRunnableAndExtractedPackagesAreNot) {
    const ScopedUmask mask(022);
    class Quiet : public Reporter {
        void out(const std::string&) override {}
        void err(const std::string&) override {}
    } quiet;
    ASSERT_EQ(0, runPackTool({TERVO_PACK_DATA "/basic.msi", "-o", pathOf("setup.exe"), "--stub", packStubPath(), "-q"}, quiet));
    ASSERT_EQ(0, runPackTool({"--extract", pathOf("setup.exe"), "-o", pathOf("app.msi"), "-q"}, quiet));
    EXPECT_EQ(0755u, modeOf(pathOf("setup.exe")));
    EXPECT_EQ(0644u, modeOf(pathOf("app.msi")));
}

TEST_F(LinuxPlatformTest, CopiedRangesLandInOrderAndAreSeenAsWritten) {
    const std::string bytes = randomBytes(3 << 20, 5);
    const std::string sameFileSystem = pathOf("source.bin");
    // Another file system: the kernel will not copy across, so the bytes pass through the tool.
    const std::string otherFileSystem = "/dev/shm/tervo-pack-" + std::to_string(::getpid()) + ".bin";
    writeBytes(sameFileSystem, bytes);
    writeBytes(otherFileSystem, bytes);
    const struct {
        Staging staging;
        std::string source;
        uint64_t offset, size;
        bool copied;
    } cases[] = {
        {Staging::Unnamed, sameFileSystem, 12345, (2 << 20) + 7, true},
        {Staging::Named, sameFileSystem, 0, 3 << 20, true},
        {Staging::Unnamed, otherFileSystem, 777, (2 << 20) + 1, true},
        {Staging::Unnamed, sameFileSystem, 100, 1000, false},
    };
    for (const auto& c : cases) {
        const std::string region = bytes.substr(c.offset, c.size);
        const auto input = platform::openInput(c.source);
        const auto output = linux_platform::createStagedOutput(pathOf("setup.exe"), c.staging);
        output->write("head", 4);
        std::string seen;
        EXPECT_EQ(c.copied, output->copyFrom(*input, c.offset, c.size,
                                             [&](const char* data, size_t size) { seen.append(data, size); }));
        output->write("tail", 4);
        output->writeAt(1, "E", 1);
        output->commit();
        EXPECT_EQ(c.copied ? region : "", seen) << c.source;
        EXPECT_EQ(c.copied ? "hEad" + region + "tail" : "hEadtail", readBytes(pathOf("setup.exe"))) << c.source;
    }
    ::unlink(otherFileSystem.c_str());

    // A failure on either side: the copy stops, the output is abandoned and nothing is left.
    {
        const auto input = platform::openInput(sameFileSystem);
        const auto output = linux_platform::createStagedOutput(pathOf("broken.exe"), Staging::Named);
        EXPECT_EQ("no room", refusalOf([&] {
                      output->copyFrom(*input, 0, bytes.size(), [](const char*, size_t) { throw std::runtime_error("no room"); });
                  }));
        std::filesystem::resize_file(fsPath(sameFileSystem), 1 << 20);
        EXPECT_EQ("Cannot read " + sameFileSystem + ": it was shortened while being read",
                  refusalOf([&] { output->copyFrom(*input, 0, bytes.size(), [](const char*, size_t) {}); }));
    }
    EXPECT_EQ((std::vector<std::string>{"setup.exe", "source.bin"}), folderNames(dir));
}

TEST_F(LinuxPlatformTest, FailuresNameTheDestinationAndTheReason) {
    std::filesystem::create_directory(fsPath(pathOf("locked")));
    std::filesystem::create_directory(fsPath(pathOf("busy")));
    ::chmod(pathOf("locked").c_str(), 0500);
    const bool enforced = ::access(pathOf("locked").c_str(), W_OK) != 0;
    if (enforced) {
        EXPECT_EQ("Cannot write " + pathOf("locked/setup.exe") + ": access is denied",
                  refusalOf([&] { platform::createStagedOutput(pathOf("locked/setup.exe")); }));
    }
    const auto output = platform::createStagedOutput(pathOf("busy"));
    EXPECT_EQ("Cannot write " + pathOf("busy") + ": it is a directory", refusalOf([&] { output->commit(); }));
    EXPECT_EQ(std::vector<std::string>{}, folderNames(pathOf("busy")));
    ::chmod(pathOf("locked").c_str(), 0700);

    writeBytes(pathOf("shrinking"), std::string(100, 'x'));
    const auto input = platform::openInput(pathOf("shrinking"));
    std::filesystem::resize_file(fsPath(pathOf("shrinking")), 10);
    char buffer[50];
    EXPECT_EQ("Cannot read " + pathOf("shrinking") + ": it was shortened while being read",
              refusalOf([&] { input->readAt(5, buffer, sizeof buffer); }));
}

TEST_F(LinuxPlatformTest, ANamedStagedFileGoesWhenTheProcessIsEndedBySignal) {
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t child = ::fork();
    if (child == 0) {
        const auto output = linux_platform::createStagedOutput(pathOf("setup.exe"), Staging::Named);
        output->write("half", 4);
        ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char signal = 0;
    ASSERT_EQ(1, ::read(ready[0], &signal, 1));
    EXPECT_EQ(1u, folderNames(dir).size()) << "the named file exists while it is written";
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(std::vector<std::string>{}, folderNames(dir));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(LinuxPlatformTest, TheToolKilledHalfWayLeavesTheDestinationAsItWas) {
    // A package large enough to show progress, so the tool can be killed after its first line.
    const std::string bigPackage = pathOf("big.msi");
    std::string bytes = readBytes(TERVO_PACK_DATA "/basic.msi");
    writeBytes(bigPackage, bytes);
    {
        const auto output = platform::createStagedOutput(bigPackage);
        output->write(bytes.data(), bytes.size());
        const std::string noise = randomBytes(1 << 20, 9);
        for (int i = 0; i < 200; ++i) {
            output->write(noise.data(), noise.size());
        }
        output->commit();
    }
    for (const bool existing : {false, true}) {
        const std::string out = pathOf(existing ? "existing" : "new");
        std::filesystem::create_directory(fsPath(out));
        if (existing) {
            writeBytes(out + "/setup.exe", "old contents");
        }
        // The tool with its standard error on a pipe, read up to its first progress line.
        int errors[2];
        ASSERT_EQ(0, ::pipe(errors));
        const std::string output = out + "/setup.exe";
        const std::string stub = packStubPath();
        const pid_t tool = ::fork();
        if (tool == 0) {
            ::dup2(errors[1], 2);
            ::execl(TERVO_PACK_TOOL, TERVO_PACK_TOOL, bigPackage.c_str(), "-o", output.c_str(), "--stub", stub.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(errors[1]);
        std::string line;
        for (char c = 0; c != '\n' && ::read(errors[0], &c, 1) == 1;) {
            line += c;
        }
        EXPECT_EQ(0u, line.find("Writing setup.exe: ")) << line;
        ::kill(tool, SIGKILL);
        int status = 0;
        ::waitpid(tool, &status, 0);
        ::close(errors[0]);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the tool ended before it was killed";
        EXPECT_EQ(existing ? std::vector<std::string>{"setup.exe"} : std::vector<std::string>{}, folderNames(out));
        if (existing) {
            EXPECT_EQ("old contents", readBytes(out + "/setup.exe"));
        }
    }
}

TEST_F(LinuxPlatformTest, LibmsiReadsThePackageFactsAndRefusesOtherFiles) {
    const std::optional<PackageFacts> facts = platform::readPackageFacts(TERVO_PACK_DATA "/basic.msi");
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ("{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}", facts->productCode);
    EXPECT_EQ("Tervo E2E Basic", facts->productName);
    EXPECT_EQ("2.5.7", facts->productVersion);
    EXPECT_EQ("Tervo Tests", facts->manufacturer);
    EXPECT_EQ(2, facts->wordCount);
    EXPECT_EQ(std::vector<std::string>{"#basic.cab"}, facts->cabinets);
    ASSERT_EQ(1u, facts->files.size());
    EXPECT_EQ("payload.txt", facts->files[0].name);
    EXPECT_EQ(512, facts->files[0].attributes);
    EXPECT_EQ("Tervo Ääni", platform::readPackageFacts(TERVO_PACK_DATA "/unicode.msi")->productName);

    writeBytes(pathOf("notes.msi"), "just some text");
    writeBytes(pathOf("empty.msi"), "");
    for (const std::string& path : {pathOf("notes.msi"), pathOf("empty.msi"), pathOf("missing.msi"), dir}) {
        EXPECT_FALSE(platform::readPackageFacts(path).has_value()) << path;
    }
}

TEST_F(LinuxPlatformTest, ScratchFileIsReadableByPathAndLeavesNothing) {
    const std::string before = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", dir.c_str(), 1);
    {
        const auto scratch = platform::createScratchFile();
        const std::string bytes = readBytes(TERVO_PACK_DATA "/basic.msi");
        scratch->write(bytes.data(), bytes.size());
        scratch->finish();
        EXPECT_EQ(std::vector<std::string>{}, folderNames(dir)) << "the scratch file has no name";
        EXPECT_EQ("2.5.7", platform::readPackageFacts(scratch->path())->productVersion);
    }
    ::setenv("TMPDIR", pathOf("missing").c_str(), 1);
    EXPECT_EQ("Cannot create a temporary file in the temporary folder " + pathOf("missing") +
                  " (TMPDIR): it does not exist; set TMPDIR to another folder",
              refusalOf([] { platform::createScratchFile(); }));
    before.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", before.c_str(), 1);
}

TEST(LinuxPlatform, PathsAreResolvedAsWritten) {
    const struct {
        std::string path;
        std::string absolute;
    } cases[] = {{"/a/./b/../c", "/a/c"}, {"/..", "/"}, {"//x//y/", "/x/y"}, {"/", "/"}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.absolute, platform::absolutePath(c.path)) << c.path;
    }
    EXPECT_EQ(platform::absolutePath(std::filesystem::current_path().string() + "/x"), platform::absolutePath("x"));
    EXPECT_EQ("b.exe", platform::fileName("/a/b.exe"));
    EXPECT_EQ("/a", platform::parentDirectory("/a/b.exe"));
    EXPECT_EQ("/", platform::parentDirectory("/b.exe"));
    EXPECT_EQ("/a/share/tervo/x", platform::joinPath("/a", "share/tervo/x"));
    EXPECT_TRUE(platform::sameFile("/tmp/../tmp/none", "/tmp/none"));
    EXPECT_EQ(PathKind::Directory, platform::pathKind("/"));
    EXPECT_EQ(PathKind::Other, platform::pathKind("/dev/null"));
}


namespace {

// Where a tool run's standard output goes: a pipe read back, a full disk, nowhere (closed), a
// terminal, or the end of a file (as the shell's >> puts it).
enum class Out { Pipe, Full, Closed, Terminal, Append };

struct ToolRun {
    int exitCode = -1; // -1 when the tool did not exit by itself
    std::string output;
    std::string errors;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// Runs the built tool with `args`; it is ended should it take more than 60 seconds.
ToolRun runTool(const std::vector<std::string>& args, Out out = Out::Pipe, const std::string& appendTo = "") {
    int output[2], errors[2];
    EXPECT_EQ(0, ::pipe2(output, O_CLOEXEC));
    EXPECT_EQ(0, ::pipe2(errors, O_CLOEXEC));
    int terminal = -1;
    std::string terminalName;
    if (out == Out::Terminal) {
        terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(terminal, 0);
        ::grantpt(terminal);
        ::unlockpt(terminal);
        terminalName = ::ptsname(terminal);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(60);
        if (out == Out::Pipe) {
            ::dup2(output[1], 1);
        } else if (out == Out::Full) {
            ::dup2(::open("/dev/full", O_WRONLY), 1);
        } else if (out == Out::Terminal) {
            ::dup2(::open(terminalName.c_str(), O_RDWR | O_NOCTTY), 1);
        } else if (out == Out::Append) {
            ::dup2(::open(appendTo.c_str(), O_WRONLY | O_APPEND), 1);
        } else {
            ::close(1);
        }
        ::dup2(errors[1], 2);
        std::vector<char*> argv{const_cast<char*>(TERVO_PACK_TOOL)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(TERVO_PACK_TOOL, argv.data());
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(errors[1]);
    ToolRun run;
    run.output = readAll(output[0]);
    run.errors = readAll(errors[0]);
    ::close(output[0]);
    ::close(errors[0]);
    if (terminal >= 0) {
        ::close(terminal);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class Capture : public Reporter {
public:
    void out(const std::string& line) override { output += line + "\n"; }
    void err(const std::string& line) override { errors += line + "\n"; }
    std::string output;
    std::string errors;
};

const std::string basicPackage = platform::absolutePath(TERVO_PACK_DATA "/basic.msi");

// A 16x16 icon of one 32-bit bitmap.
std::string iconBytes() {
    std::vector<char> bytes;
    appendU16(bytes, 0);
    appendU16(bytes, 1);
    appendU16(bytes, 1);
    bytes.insert(bytes.end(), {16, 16, 0, 0});
    appendU16(bytes, 1);
    appendU16(bytes, 32);
    appendU32(bytes, 40 + 1024 + 64);
    appendU32(bytes, 22);
    for (const uint32_t field : {40u, 16u, 32u}) {
        appendU32(bytes, field);
    }
    appendU16(bytes, 1);
    appendU16(bytes, 32);
    for (int i = 0; i < 6; ++i) {
        appendU32(bytes, 0);
    }
    bytes.insert(bytes.end(), 1024 + 64, '\x40');
    return std::string(bytes.begin(), bytes.end());
}

class LinuxToolTest : public PackTempDirTest {
protected:
    int run(const std::vector<std::string>& args) {
        result = Capture();
        return runPackTool(args, result);
    }
    // The basic package packed into `name` with the stand-in stub.
    std::string launcher(const std::string& name = "setup.exe") {
        EXPECT_EQ(0, run({basicPackage, "-o", pathOf(name), "--stub", packStubPath(), "-q"})) << result.errors;
        return pathOf(name);
    }
    Capture result;
};

// The package a launcher carries.
std::string carriedPackage(const std::string& launcher) {
    const ResourceTree tree = PeImage::open(launcher).resources();
    const DataBlock* package = tree.find(ResourceTypes::rcData, ResourceNames::package);
    return package ? package->text() : "(none)";
}

bool isLink(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

} // namespace

TEST_F(LinuxToolTest, OutputsAreWrittenThroughSymbolicLinksToTheFileTheyLeadTo) {
    const std::string setup = launcher();
    const std::string package = readBytes(basicPackage);
    std::filesystem::create_directory(fsPath(pathOf("targets")));
    const std::string real = pathOf("targets/real.msi");
    ASSERT_EQ(0, ::symlink("targets/real.msi", pathOf("link.msi").c_str()));
    ASSERT_EQ(0, ::symlink("link.msi", pathOf("chain.msi").c_str()));
    for (const char* name : {"link.msi", "chain.msi"}) {
        writeBytes(real, "old contents");
        ASSERT_EQ(0, run({"--extract", setup, "-o", pathOf(name), "-q"})) << result.errors;
        EXPECT_TRUE(readBytes(real) == package) << name;
        EXPECT_TRUE(isLink(pathOf(name))) << name << " stays a link";
        EXPECT_EQ(std::vector<std::string>{"real.msi"}, folderNames(pathOf("targets"))) << "no temporary file remains";
    }
    // Packing too; and a link through /proc to a file this process has open (`-o /proc/self/fd/1`
    // with standard output on a file).
    ASSERT_EQ(0, ::symlink("targets/setup.exe", pathOf("setup-link.exe").c_str()));
    writeBytes(pathOf("targets/setup.exe"), "old");
    ASSERT_EQ(0, run({basicPackage, "-o", pathOf("setup-link.exe"), "--stub", packStubPath(), "-q"})) << result.errors;
    EXPECT_TRUE(carriedPackage(pathOf("targets/setup.exe")) == package);
    EXPECT_TRUE(isLink(pathOf("setup-link.exe")));
    const int held = ::open(pathOf("targets/held.msi").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    const std::string throughProc = "/proc/self/fd/" + std::to_string(held);
    ASSERT_EQ(0, run({"--extract", setup, "-o", throughProc, "-q"})) << result.errors;
    ::close(held);
    EXPECT_TRUE(readBytes(pathOf("targets/held.msi")) == package);
    EXPECT_EQ((std::vector<std::string>{"held.msi", "real.msi", "setup.exe"}), folderNames(pathOf("targets")));
}

TEST_F(LinuxToolTest, OutputsThatAreNoRegularFileOrLeadNowhereAreRefusedAndLeftAsTheyWere) {
    const std::string setup = launcher();
    std::filesystem::create_directory(fsPath(pathOf("out")));
    const std::string fifo = pathOf("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    const auto link = [&](const std::string& name, const std::string& target) {
        EXPECT_EQ(0, ::symlink(target.c_str(), pathOf("out/" + name).c_str()));
        return pathOf("out/" + name);
    };
    const std::string dangling = link("dangling", "nowhere.msi");
    const std::string loop = link("loop", "loop");
    const std::string toFifo = link("to-fifo", fifo);
    const std::string toNull = link("to-null", "/dev/null");
    const std::string toFolder = link("to-folder", dir);
    const std::string hint = "; -o - writes the package to standard output";
    const struct {
        std::string output;
        std::string packing;
        std::string extracting;
    } cases[] = {
        {dangling, "Cannot write " + dangling + ": it is a symbolic link to nowhere.msi, which does not exist", ""},
        {loop, "Cannot write " + loop + ": its symbolic links form a loop", ""},
        {toFifo, "Cannot write " + toFifo + ": it is a pipe (FIFO), not a regular file", hint},
        {fifo, "Cannot write " + fifo + ": it is a pipe (FIFO), not a regular file", hint},
        {toNull, "Cannot write " + toNull + ": it is a device, not a regular file", hint},
        {"/dev/null", "Cannot write /dev/null: it is a device, not a regular file", hint},
        {"/proc/self/status", "Cannot write /proc/self/status: it is an entry of /proc or /sys, not a regular file", hint},
        {toFolder, "Cannot write " + toFolder + ": it is a directory", ""},
        {pathOf("out/dangling/setup.exe"), "Cannot write " + pathOf("out/dangling/setup.exe") + ": its folder " + dangling +
                                               " cannot be used: it is a symbolic link to nowhere.msi, which does not exist", ""},
    };
    const std::vector<std::string> before = folderNames(pathOf("out"));
    for (const auto& c : cases) {
        EXPECT_EQ(1, run({basicPackage, "-o", c.output, "--stub", packStubPath()})) << c.output;
        EXPECT_EQ("tervo-pack: " + c.packing + "\n", result.errors);
        EXPECT_EQ(1, run({"--extract", setup, "-o", c.output})) << c.output;
        EXPECT_EQ("tervo-pack: " + c.packing + c.extracting + "\n", result.errors);
        EXPECT_EQ(before, folderNames(pathOf("out"))) << c.output;
    }
    EXPECT_TRUE(isLink(dangling));
    EXPECT_EQ(PathKind::Other, platform::pathKind("/dev/null"));
}

TEST_F(LinuxToolTest, InputsMustBeRegularFilesAndNoneMayBeTheOutputByAnyName) {
    const std::string setup = launcher();
    const std::string fifo = pathOf("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, ::symlink("loop", pathOf("loop").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere.ico", pathOf("dangling.ico").c_str()));
    const std::string icon = pathOf("app.ico");
    writeBytes(icon, iconBytes());
    ASSERT_EQ(0, ::link(icon.c_str(), pathOf("hard.ico").c_str()));
    ASSERT_EQ(0, ::symlink("app.ico", pathOf("soft.ico").c_str()));
    writeBytes(pathOf("app.msi"), readBytes(basicPackage));
    ASSERT_EQ(0, ::link(pathOf("app.msi").c_str(), pathOf("hard.msi").c_str()));
    writeBytes(pathOf("stub.exe"), readBytes(packStubPath()));
    ASSERT_EQ(0, ::symlink("stub.exe", pathOf("soft-stub.exe").c_str()));
    const std::string stub = pathOf("stub.exe");
    const std::string target = pathOf("setup2.exe");
    const std::string pipe = ": it is a pipe (FIFO), not a regular file";
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        // Refused before they are opened: a pipe would hold the tool forever.
        {{fifo, "-o", target, "--stub", stub}, "Cannot read the package " + fifo + pipe},
        {{basicPackage, "-o", target, "--stub", fifo}, "Cannot read the launcher stub " + fifo + pipe},
        {{basicPackage, "-o", target, "--stub", stub, "--icon", fifo}, "Cannot read the icon " + fifo + pipe},
        {{"--inspect", fifo}, "Cannot read the launcher " + fifo + pipe},
        {{"--extract", fifo, "-o", target}, "Cannot read the launcher " + fifo + pipe},
        {{"/dev/zero", "-o", target, "--stub", stub}, "Cannot read the package /dev/zero: it is a device, not a regular file"},
        {{basicPackage, "-o", target, "--stub", "/dev/zero"}, "Cannot read the launcher stub /dev/zero: it is a device, not a regular file"},
        {{pathOf("loop"), "-o", target, "--stub", stub}, "Cannot read the package " + pathOf("loop") + ": its symbolic links form a loop"},
        {{basicPackage, "-o", target, "--stub", stub, "--icon", pathOf("dangling.ico")},
         "Cannot read the icon " + pathOf("dangling.ico") + ": it is a symbolic link to nowhere.ico, which does not exist"},
        // The output by another name: a hard link, a symbolic link either way.
        {{basicPackage, "-o", pathOf("hard.ico"), "--stub", stub, "--icon", icon},
         "The output must be another file than the icon: " + pathOf("hard.ico") + " is the same file as " + icon},
        {{basicPackage, "-o", pathOf("soft.ico"), "--stub", stub, "--icon", icon},
         "The output must be another file than the icon: " + pathOf("soft.ico") + " is the same file as " + icon},
        {{basicPackage, "-o", icon, "--stub", stub, "--icon", pathOf("soft.ico")},
         "The output must be another file than the icon: " + icon + " is the same file as " + pathOf("soft.ico")},
        {{pathOf("app.msi"), "-o", pathOf("hard.msi"), "--stub", stub},
         "The output must be another file than the package: " + pathOf("hard.msi") + " is the same file as " + pathOf("app.msi")},
        {{basicPackage, "-o", stub, "--stub", pathOf("soft-stub.exe")},
         "The output must be another file than the stub: " + stub + " is the same file as " + pathOf("soft-stub.exe")},
        {{"--extract", setup, "-o", pathOf("setup-link.exe")}, "The output must be another file than the launcher: " + pathOf("setup-link.exe")},
    };
    ASSERT_EQ(0, ::symlink("setup.exe", pathOf("setup-link.exe").c_str()));
    const std::vector<std::string> before = folderNames(dir);
    for (const auto& c : cases) {
        EXPECT_EQ(1, run(c.args)) << c.expected;
        EXPECT_EQ("tervo-pack: " + c.expected + "\n", result.errors);
        EXPECT_EQ(before, folderNames(dir)) << c.expected;
    }
    EXPECT_TRUE(readBytes(icon) == iconBytes());
    EXPECT_TRUE(readBytes(stub) == readBytes(packStubPath()));
    // The layer itself never waits on a pipe either.
    EXPECT_EQ("Cannot read " + fifo + pipe, refusalOf([&] { platform::openInput(fifo); }));
}

TEST_F(LinuxToolTest, AFailedWriteOfStandardOutputIsAFailure) {
    const std::string setup = launcher();
    const std::vector<std::vector<std::string>> commands = {
        {"--version"}, {"--help"}, {"--inspect", setup}, {"--inspect", "--json", setup}, {"--extract", setup, "-o", "-"}};
    for (const auto& args : commands) {
        for (const auto& [out, reason] : {std::pair{Out::Full, "the disk is full"}, std::pair{Out::Closed, "it is closed"}}) {
            const ToolRun r = runTool(args, out);
            EXPECT_EQ(1, r.exitCode) << args[0] << " " << reason;
            EXPECT_EQ("tervo-pack: Cannot write to standard output: " + std::string(reason) + "\n", r.errors) << args[0];
        }
    }
    // A pack whose summary is lost: the launcher is in place, and the message says so.
    const ToolRun lost = runTool({basicPackage, "-o", pathOf("new.exe"), "--stub", packStubPath()}, Out::Full);
    EXPECT_EQ(1, lost.exitCode);
    EXPECT_EQ("tervo-pack: " + pathOf("new.exe") +
                  " was written, but its summary was not: Cannot write to standard output: the disk is full\n",
              lost.errors);
    EXPECT_TRUE(carriedPackage(pathOf("new.exe")) == readBytes(basicPackage));
    // With standard output closed, no file the tool opens takes its place.
    const ToolRun closed = runTool({basicPackage, "-o", pathOf("closed.exe"), "--stub", packStubPath()}, Out::Closed);
    EXPECT_EQ(1, closed.exitCode);
    EXPECT_TRUE(carriedPackage(pathOf("closed.exe")) == readBytes(basicPackage));
}

TEST_F(LinuxToolTest, ExtractToStandardOutputChecksThePackageBeforeItsFirstByte) {
    const std::string setup = launcher();
    const std::string package = readBytes(basicPackage);
    ToolRun r = runTool({"--extract", setup, "-o", "-"});
    EXPECT_EQ(0, r.exitCode) << r.errors;
    EXPECT_TRUE(r.output == package);
    EXPECT_EQ("Wrote the package to standard output: " + std::to_string(package.size()) + " bytes\n", r.errors);
    r = runTool({"--extract", setup, "-o", "-", "-q"});
    EXPECT_TRUE(r.output == package);
    EXPECT_EQ("", r.errors);

    // Damaged: nothing reaches the pipe, unless asked for.
    const ResourceTree tree = PeImage::open(setup).resources();
    const uint64_t at = tree.find(ResourceTypes::rcData, ResourceNames::package)->sourceOffset();
    std::string bytes = readBytes(setup);
    bytes[static_cast<size_t>(at + 5000)] ^= 0x20;
    writeBytes(pathOf("damaged.exe"), bytes);
    r = runTool({"--extract", pathOf("damaged.exe"), "-o", "-"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_EQ(0u, r.errors.find("tervo-pack: The package inside " + pathOf("damaged.exe") + " is damaged: its checksum is ")) << r.errors;
    EXPECT_NE(std::string::npos, r.errors.find("; nothing was written (--ignore-checksum writes it anyway)\n")) << r.errors;
    r = runTool({"--extract", pathOf("damaged.exe"), "-o", "-", "--ignore-checksum", "-q"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_TRUE(r.output == bytes.substr(static_cast<size_t>(at), package.size()));
    EXPECT_EQ(0u, r.errors.find("Warning: The package inside ")) << r.errors;
    // Cut short: nothing either.
    writeBytes(pathOf("cut.exe"), readBytes(setup).substr(0, static_cast<size_t>(at + 100)));
    r = runTool({"--extract", pathOf("cut.exe"), "-o", "-"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_EQ("tervo-pack: " + pathOf("cut.exe") + " is truncated: " + std::to_string(at + 100) + " of " +
                  std::to_string(bytes.size()) + " bytes; nothing was written\n",
              r.errors);
    // A terminal would only show garbage.
    r = runTool({"--extract", setup, "-o", "-"}, Out::Terminal);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("tervo-pack: Standard output is a terminal, which cannot show a package; redirect it to a file or a pipe\n", r.errors);
}

TEST_F(LinuxToolTest, AnyOutputNameTheFileSystemTakesCanBeWritten) {
    std::string utf8;
    for (int i = 0; i < 85; ++i) {
        utf8 += "日"; // 255 bytes
    }
    std::string umlauts;
    for (int i = 0; i < 125; ++i) {
        umlauts += "Ä";
    }
    const std::vector<std::string> names = {std::string(247, 'a') + ".exe", std::string(251, 'b') + ".exe", utf8, umlauts + ".exe"};
    for (const std::string& name : names) {
        for (const Staging staging : {Staging::Unnamed, Staging::Named}) {
            const auto output = linux_platform::createStagedOutput(pathOf(name), staging);
            output->write("bytes", 5);
            output->commit();
            EXPECT_EQ(std::vector<std::string>{name}, folderNames(dir)) << name.size();
            std::filesystem::remove(fsPath(pathOf(name)));
        }
    }
    const std::string setup = pathOf(names[1]);
    ASSERT_EQ(0, run({basicPackage, "-o", setup, "--stub", packStubPath(), "-q"})) << result.errors;
    ASSERT_EQ(0, run({"--extract", setup, "-o", pathOf(utf8), "-q"})) << result.errors;
    EXPECT_TRUE(readBytes(pathOf(utf8)) == readBytes(basicPackage));
    const std::string tooLong = pathOf(std::string(252, 'c') + ".exe");
    EXPECT_EQ(1, run({basicPackage, "-o", tooLong, "--stub", packStubPath()}));
    EXPECT_EQ("tervo-pack: Cannot write " + tooLong + ": a name in its path is longer than the file system allows\n", result.errors);
}

TEST_F(LinuxToolTest, AFolderWhosePathIsLongerThanTheSystemTakesIsNamedAsSuch) {
    // Reached step by step from the current folder: only its absolute path is too long.
    const std::filesystem::path previous = std::filesystem::current_path();
    ASSERT_EQ(0, ::chdir(dir.c_str()));
    const std::string step(250, 'd');
    int depth = 0;
    for (; platform::absolutePath(".").size() < 4200; ++depth) {
        ASSERT_EQ(0, ::mkdir(step.c_str(), 0755));
        ASSERT_EQ(0, ::chdir(step.c_str()));
    }
    const std::string deep = platform::absolutePath("setup.exe");
    const int code = run({basicPackage, "-o", "setup.exe", "--stub", packStubPath()});
    const std::string errors = result.errors;
    const int extractCode = run({"--extract", "x.exe", "-o", "app.msi"});
    const std::string extractErrors = result.errors;
    for (; depth > 0; --depth) {
        ASSERT_EQ(0, ::chdir(".."));
        ASSERT_EQ(0, ::rmdir(step.c_str()));
    }
    std::filesystem::current_path(previous);
    EXPECT_EQ(1, code);
    EXPECT_EQ("tervo-pack: Cannot write " + deep + ": its absolute path has " + std::to_string(deep.size()) +
                  " bytes, more than the system's limit of 4095; use a shorter path\n",
              errors);
    EXPECT_EQ(1, extractCode);
    EXPECT_NE(std::string::npos, extractErrors.find("x.exe: its absolute path has ")) << extractErrors;
}

TEST_F(LinuxToolTest, AFullTemporaryFolderOrDiskIsNamedAsSuch) {
    // A file system of one page, in a mount namespace of a child process that only root may make.
    const std::string setup = launcher();
    const std::string small = pathOf("small");
    std::filesystem::create_directory(fsPath(small));
    int report[2];
    ASSERT_EQ(0, ::pipe(report));
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4k") != 0) {
            ::_exit(77);
        }
        ::setenv("TMPDIR", small.c_str(), 1);
        std::string text;
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--inspect", setup},
                                                     {basicPackage, "-o", small + "/setup.exe", "--stub", packStubPath()}}) {
            Capture capture;
            text += std::to_string(runPackTool(args, capture)) + " " + capture.errors;
        }
        text += "left: " + std::to_string(folderNames(small).size()) + "\n";
        ::write(report[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(report[1]);
    const std::string text = readAll(report[0]);
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no private mount namespace for a small file system (not root)";
    }
    EXPECT_EQ("1 tervo-pack: Cannot write a temporary copy of the package in the temporary folder " + small +
                  " (TMPDIR): the disk is full; free space there or set TMPDIR to another folder\n"
                  "1 tervo-pack: Cannot write " + small + "/setup.exe: the disk is full\n"
                  "left: 0\n",
              text);
}

TEST_F(LinuxToolTest, PackageFileNamesThatWindowsRefusesAreLeftOutWithAWarning) {
    const struct {
        const char* name;
        const char* warning; // null: the name is kept
    } cases[] = {
        {"Ääni 日本 (x64).msi", nullptr},
        {"a:b.msi", "it holds the character :, which Windows does not allow in a file name"},
        {"con.msi", "Windows takes it for the device CON"},
        {"app.msi.", "it ends in a space or a period, which Windows removes"},
        {"back\\slash.msi", "it holds a path separator"},
    };
    for (const auto& c : cases) {
        writeBytes(pathOf(c.name), readBytes(basicPackage));
        ASSERT_EQ(0, run({pathOf(c.name), "-o", pathOf("setup.exe"), "--stub", packStubPath(), "-q"})) << result.errors;
        const ResourceTree tree = PeImage::open(pathOf("setup.exe")).resources();
        const DataBlock* stored = tree.find(ResourceTypes::rcData, ResourceNames::packageFileName);
        if (c.warning) {
            EXPECT_EQ(nullptr, stored) << c.name;
            EXPECT_EQ(std::string("Warning: the package's file name ") + c.name + " is not one Windows takes (" + c.warning +
                          "): the launcher records no file name for it, and setup.exe /extract names it after the product\n",
                      result.errors);
        } else {
            ASSERT_NE(nullptr, stored);
            EXPECT_EQ(c.name, stored->text());
            EXPECT_EQ("", result.errors);
        }
    }
}

TEST_F(LinuxToolTest, StandardOutputThatIsAnInputIsRefusedBeforeAByteIsWritten) {
    const std::string setup = launcher();
    const std::string original = readBytes(setup);
    ASSERT_EQ(0, ::link(setup.c_str(), pathOf("hard.exe").c_str()));
    ASSERT_EQ(0, ::symlink(setup.c_str(), pathOf("soft.exe").c_str()));
    writeBytes(pathOf("copy.msi"), readBytes(basicPackage));
    const std::string refusal = ": what the tool writes there would change it while it is read; redirect standard output to another file\n";
    const struct {
        std::vector<std::string> args;
        std::string appendTo;
        std::string expected;
    } cases[] = {
        {{"--extract", setup, "-o", "-"}, setup, "the launcher " + setup},
        {{"--extract", pathOf("soft.exe"), "-o", "-"}, pathOf("hard.exe"), "the launcher " + pathOf("soft.exe")},
        {{"--extract", setup, "-o", pathOf("app.msi")}, setup, "the launcher " + setup},
        {{"--inspect", setup}, pathOf("soft.exe"), "the launcher " + setup},
        {{"--inspect", setup, "--json"}, setup, "the launcher " + setup},
        {{pathOf("copy.msi"), "-o", pathOf("new.exe"), "--stub", packStubPath()}, pathOf("copy.msi"), "the package " + pathOf("copy.msi")},
    };
    for (const auto& c : cases) {
        const ToolRun r = runTool(c.args, Out::Append, c.appendTo);
        EXPECT_EQ(1, r.exitCode) << c.expected;
        EXPECT_EQ("tervo-pack: Standard output is " + c.expected + refusal, r.errors);
    }
    EXPECT_TRUE(readBytes(setup) == original) << "the launcher grew";
    EXPECT_TRUE(readBytes(pathOf("copy.msi")) == readBytes(basicPackage)) << "the package grew";
    EXPECT_EQ((std::vector<std::string>{"copy.msi", "hard.exe", "setup.exe", "soft.exe"}), folderNames(dir));
    // Another file takes the package as before.
    writeBytes(pathOf("other.bin"), "");
    EXPECT_EQ(0, runTool({"--extract", setup, "-o", "-", "-q"}, Out::Append, pathOf("other.bin")).exitCode);
    EXPECT_TRUE(readBytes(pathOf("other.bin")) == readBytes(basicPackage));
}

TEST_F(LinuxToolTest, NamesThatAreNotPlainTextAreShownEscapedAndAPathNotInUtf8IsWithheldFromJson) {
    // An escape character and a byte that is no UTF-8, both possible in a Linux file name.
    const std::string odd = pathOf("odd\x1b[2J\xff.exe");
    const std::string shown = pathOf("odd\\x1b[2J\\xff.exe");
    EXPECT_EQ(0, run({basicPackage, "-o", odd, "--stub", packStubPath()})) << result.errors;
    EXPECT_EQ(0u, result.output.find("Wrote " + shown + ": Tervo E2E Basic 2.5.7, ")) << result.output;
    EXPECT_EQ(1, run({"--inspect", odd + "x"}));
    EXPECT_EQ("tervo-pack: The launcher was not found: " + shown + "x\n", result.errors);
    EXPECT_EQ(0, run({"--inspect", odd})) << result.errors;
    EXPECT_EQ(0u, result.output.find("Launcher:      " + shown + "\n")) << result.output;
    EXPECT_EQ(0, run({"--inspect", odd, "--json"})) << result.errors;
    EXPECT_EQ(0u, result.output.find("{\n  \"launcher\": null,\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"withheld\": {\"launcher\": \"the path is not valid UTF-8\"},\n"))
        << result.output;
    EXPECT_EQ(std::string::npos, result.output.find('\x1b'));
    // Valid UTF-8 that is no plain text is kept exact in JSON, where it is escaped as JSON escapes.
    const std::string override = launcher("\xe2\x80\xae" "exe.jpg");
    EXPECT_EQ(0, run({"--inspect", override, "--json"})) << result.errors;
    EXPECT_EQ(0u, result.output.find("{\n  \"launcher\": \"" + pathOf("\\u202eexe.jpg") + "\",\n")) << result.output;
    EXPECT_EQ(0, run({"--inspect", override})) << result.errors;
    EXPECT_EQ(0u, result.output.find("Launcher:      " + pathOf("\\u202eexe.jpg") + "\n")) << result.output;
}
