// The Linux layer: staged output with and without unnamed files, its mode, a tool killed half-way,
// non-ASCII names, reads that fail, and package facts read through libmsi.
#include <signal.h>
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
    EXPECT_EQ("Cannot create a temporary file in " + pathOf("missing") + ": it does not exist",
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

TEST(LinuxPlatform, DevicesAreNeitherReadNorReplaced) {
    class Capture : public Reporter {
    public:
        void out(const std::string&) override {}
        void err(const std::string& line) override { errors += line + "\n"; }
        std::string errors;
    } reporter;
    const std::string basic = platform::absolutePath(TERVO_PACK_DATA "/basic.msi");
    EXPECT_EQ(1, runPackTool({basic, "-o", "/dev/null", "--stub", packStubPath()}, reporter));
    EXPECT_EQ(1, runPackTool({"/dev/zero", "-o", "/tmp/never.exe"}, reporter));
    EXPECT_EQ("tervo-pack: Cannot write /dev/null: it is not a regular file\n"
              "tervo-pack: Package not found: /dev/zero is not a regular file\n",
              reporter.errors);
    EXPECT_EQ(PathKind::Other, platform::pathKind("/dev/null"));
}

