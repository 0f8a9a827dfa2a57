#include <algorithm>
#include <cstring>
#include <regex>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "ImportHook.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"

#include <winioctl.h>

using namespace FileUtils;

namespace {

// The plain and the located message of what `body` throws.
template <class Body>
std::pair<std::string, std::string> thrownBy(Body&& body) {
    try {
        body();
    } catch (const TervoErrorBase& e) {
        return {e.plainMessage(), dynamic_cast<const std::exception&>(e).what()};
    }
    ADD_FAILURE() << "nothing was thrown";
    return {};
}

std::string u8(const tstring& text) { return tstrings::encodeUtf8(text); }

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Open for reading with every sharing but delete, as a scanner or an editor might hold it.
UniqueHandle holdOpen(const tstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Everything runs below a directory whose name has a blank and non-ASCII letters, so paths pass
// intact through every call, message and record.
class FileUtilsTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        base = dir + L"\\J\u00fcrgen \u03a9mega";
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    }
    tstring at(const tstring& relative) const { return base + L"\\" + relative; }
    void make(std::initializer_list<const wchar_t*> dirs, std::initializer_list<const wchar_t*> files) const {
        for (const wchar_t* d : dirs) {
            ASSERT_TRUE(CreateDirectoryW(at(d).c_str(), nullptr)) << u8(d);
        }
        for (const wchar_t* f : files) {
            writeFile(at(f), u8(f));
        }
    }
    // "function|message" of the records at `level`.
    std::vector<tstring> recorded(Severity level) const {
        std::vector<tstring> result;
        for (const LogRecord& r : capture.records) {
            if (r.levelName == severityName(level)) {
                result.push_back(r.functionName + L"|" + r.message);
            }
        }
        return result;
    }

    tstring base;
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

const tstring inUnit = L"FileUtils::`anonymous-namespace'::";

} // namespace

TEST_F(FileUtilsTest, TempNamesAreTheTickCountAsSigned32BitNumber) {
    const std::pair<std::uint32_t, std::pair<const wchar_t*, const wchar_t*>> cases[] = {
        {0xFFFFFFFFu, {L"p-1.t", L"p0.t"}},
        {0x7FFFFFFFu, {L"p2147483647.t", L"p-2147483648.t"}},
    };
    for (const auto& [tick, names] : cases) {
        EXPECT_EQ(at(names.first), createTempFile(L"p", L".t", base, tick));
        EXPECT_EQ(at(names.second), createTempFile(L"p", L".t", base, tick));
    }
    EXPECT_EQ(inUnit + L"createNewFile|Created [" + at(L"p-1.t") + L"] file", recorded(Severity::TRACE).at(0));
}

TEST_F(FileUtilsTest, TempFileGivesUpAfterExactly100Names) {
    for (int n = 500; n < 600; ++n) {
        writeFile(at(L"x" + std::to_wstring(n)), "taken");
    }
    writeFile(at(L"a file"), "not a directory");
    // The text names the call, then the reason of the last refusal, as every system error does.
    const struct {
        tstring prefix, directory;
        DWORD reason;
    } cases[] = {
        {L"x", base, ERROR_FILE_EXISTS},
        {L"", at(L"missing"), ERROR_PATH_NOT_FOUND},
        {L"", at(L"a file"), ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        const tstring suffix = c.prefix.empty() ? L".tmp" : L"";
        const auto [plain, located] = thrownBy([&] { createTempFile(c.prefix, suffix, c.directory, 500); });
        const std::string code = std::to_string(c.reason);
        EXPECT_TRUE(startsWith(plain, "createTempFile(" + u8(c.prefix) + ", " + u8(suffix) + ", " + u8(c.directory) +
                                          ") failed. System error [" + code + "](system error " + code + " ("))
            << plain;
        EXPECT_NE(std::string::npos, located.find(" at FileUtils::createTempFile(): ")) << located;
    }
    EXPECT_EQ(101u, listDir(base).size());
    EXPECT_FALSE(exists(at(L"missing")));
    ASSERT_TRUE(DeleteFileW(at(L"x599").c_str()));
    EXPECT_EQ(at(L"x599"), createTempFile(L"x", L"", base, 500));
    EXPECT_EQ(1u, capture.records.size());
}

TEST_F(FileUtilsTest, IllegalNameCharactersAreRefusedBeforeTouchingTheDisk) {
    const struct {
        const wchar_t *prefix, *suffix;
        const char* message;
    } cases[] = {
        {L"a/b", L".t", "Illegal characters in prefix=a/b"},
        {L"ok", L"\t", "Illegal characters in suffix=\t"},
        {L"\u00fc", L"a:b", "Illegal characters in suffix=a:b"},
        {L"<\\", L"|", "Illegal characters in prefix=<\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.message, thrownBy([&] { createTempFile(c.prefix, c.suffix, base); }).first);
    }
    EXPECT_TRUE(listDir(base).empty());
}

TEST_F(FileUtilsTest, DirectoryChains) {
    make({L"A", L"file"}, {L"plain"});
    tstring_array created;
    createDirectoryChain(at(L"A\\B/C\\\\"), &created);
    EXPECT_EQ((tstring_array{at(L"A\\B"), at(L"A\\B/C")}), created);
    EXPECT_EQ((std::vector<tstring>{inUnit + L"createDir|Created [" + at(L"A\\B/") + L"] directory",
                                    inUnit + L"createDir|Created [" + at(L"A\\B/C\\") + L"] directory"}),
              recorded(Severity::TRACE));

    capture.records.clear();
    createDirectoryChain(at(L"A\\B\\C"), &created);
    EXPECT_EQ(2u, created.size());
    EXPECT_TRUE(capture.records.empty());

    const auto [plain, located] = thrownBy([&] { createDirectoryChain(at(L"plain\\sub\\deeper")); });
    EXPECT_TRUE(startsWith(plain, "CreateDirectory(" + u8(at(L"plain\\")) + ") failed. System error [")) << plain;
    EXPECT_NE(std::string::npos, located.find(" at " + u8(inUnit) + "createDir(): ")) << located;

    // The \\?\ of a device path is no directory to create.
    createDirectoryChain(L"\\\\?\\" + at(L"dev\\ice"));
    EXPECT_TRUE(isDirectory(at(L"dev\\ice")));
}

TEST_F(FileUtilsTest, MoveAndCopy) {
    make({}, {L"from", L"to"});
    const std::string from = u8(at(L"from")), to = u8(at(L"to"));
    EXPECT_TRUE(startsWith(thrownBy([&] { moveFile(at(L"from"), at(L"to"), true); }).first,
                           "MoveFileEx(" + from + ", " + to + ", 2) failed. System error ["));
    EXPECT_EQ("to", readFile(at(L"to")));
    moveFile(at(L"from"), at(L"to"), false);
    EXPECT_EQ("from", readFile(at(L"to")));
    EXPECT_FALSE(exists(at(L"from")));
    EXPECT_EQ(inUnit + L"moveFileImpl|Moved '" + at(L"from") + L"' file to '" + at(L"to") + L"'",
              recorded(Severity::TRACE).back());

    make({L"d"}, {});
    moveFile(at(L"d"), at(L"new\\d2"), false);
    EXPECT_EQ(inUnit + L"moveFileImpl|Moved '" + at(L"d") + L"' folder to '" + at(L"new\\d2") + L"'",
              recorded(Severity::TRACE).back());

    copyFile(at(L"to"), at(L"sub\\copy"), true);
    EXPECT_EQ("from", readFile(at(L"sub\\copy")));
    EXPECT_EQ(L"FileUtils::copyFile|Copied [" + at(L"to") + L"] file to [" + at(L"sub\\copy") + L"]",
              recorded(Severity::TRACE).back());
    EXPECT_TRUE(startsWith(thrownBy([&] { copyFile(at(L"to"), at(L"sub\\copy"), true); }).first,
                           "CopyFile(" + to + ", " + u8(at(L"sub\\copy")) + ", 1) failed. "));
    EXPECT_TRUE(startsWith(thrownBy([&] { copyFile(at(L"none"), at(L"c"), false); }).first,
                           "CopyFile(" + u8(at(L"none")) + ", " + u8(at(L"c")) + ", 0) failed. "));
}

TEST_F(FileUtilsTest, FileDeletion) {
    make({L"dir"}, {L"ro", L"held"});
    EXPECT_TRUE(deleteFile(at(L"none"), std::nothrow));
    EXPECT_TRUE(deleteFile(at(L"no\\such\\path"), std::nothrow));
    deleteFile(at(L"none"));
    // The system answers access denied for a directory; without the read-only bit it is not retried.
    EXPECT_FALSE(deleteFile(at(L"dir"), std::nothrow));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(capture.records.empty());

    ASSERT_TRUE(SetFileAttributesW(at(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    deleteFile(at(L"ro"));
    EXPECT_FALSE(exists(at(L"ro")));
    EXPECT_EQ((std::vector<tstring>{L"FileUtils::deleteFile|Discarded R/O attribute from [" + at(L"ro") + L"] file",
                                    inUnit + L"deleteFileImpl|Deleted [" + at(L"ro") + L"] file"}),
              recorded(Severity::TRACE));

    capture.records.clear();
    ASSERT_TRUE(SetFileAttributesW(at(L"held").c_str(), FILE_ATTRIBUTE_HIDDEN));
    const DWORD attributes = GetFileAttributesW(at(L"held").c_str());
    const UniqueHandle lock = holdOpen(at(L"held"));
    EXPECT_FALSE(deleteFile(at(L"held"), std::nothrow));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    const auto [plain, located] = thrownBy([&] { deleteFile(at(L"held")); });
    EXPECT_TRUE(startsWith(plain, "DeleteFile(" + u8(at(L"held")) + ") failed. System error [32]")) << plain;
    EXPECT_NE(std::string::npos, located.find(" at FileUtils::deleteFile(): "));
    EXPECT_EQ(attributes, GetFileAttributesW(at(L"held").c_str()));
    EXPECT_TRUE(capture.records.empty());
}

TEST_F(FileUtilsTest, DirectoryDeletion) {
    make({L"full", L"empty"}, {L"full\\f"});
    EXPECT_FALSE(deleteDirectory(at(L"full"), std::nothrow));
    EXPECT_TRUE(startsWith(thrownBy([&] { deleteDirectory(at(L"full")); }).first,
                           "RemoveDirectory(" + u8(at(L"full")) + ") failed. System error ["));
    EXPECT_TRUE(deleteDirectory(at(L"none"), std::nothrow));
    EXPECT_TRUE(capture.records.empty());
    deleteDirectory(at(L"empty"));
    EXPECT_EQ((std::vector<tstring>{L"FileUtils::deleteDirectory|Deleted [" + at(L"empty") + L"] directory"}),
              recorded(Severity::TRACE));
}

namespace {

class RecordingCallback : public DirectoryCallback {
public:
    explicit RecordingCallback(size_t stopAfter) : stopAfter(stopAfter) {}
    bool visitFile(const tstring& path) override { return note(L"file " + path); }
    bool visitDirectory(const tstring& path) override { return note(L"dir " + path); }
    bool note(const tstring& what) {
        seen.push_back(what);
        return seen.size() < stopAfter;
    }
    size_t stopAfter;
    std::vector<tstring> seen;
};

} // namespace

TEST_F(FileUtilsTest, IterationVisitsOneLevelWithoutDotEntries) {
    make({L"a", L"a\\b", L"a\\e", L"r", L"r\\b"}, {L"a\\b\\c", L"a\\\u00e4 f", L"r\\b\\c.txt"});
    RecordingCallback all(SIZE_MAX), first(1), empty(1);
    iterateDirectory(at(L"a"), all);
    std::sort(all.seen.begin(), all.seen.end());
    EXPECT_EQ((std::vector<tstring>{L"dir " + at(L"a\\b"), L"dir " + at(L"a\\e"), L"file " + at(L"a\\\u00e4 f")}),
              all.seen);
    iterateDirectory(at(L"a"), first);
    EXPECT_EQ(1u, first.seen.size());
    iterateDirectory(at(L"a\\e"), empty);
    EXPECT_TRUE(empty.seen.empty());
    EXPECT_TRUE(startsWith(thrownBy([&] { iterateDirectory(at(L"none"), empty); }).first,
                           "FindFirstFile(" + u8(at(L"none")) + ") failed. System error [3]"));

    const tstring b = at(L"r\\b"), c = at(L"r\\b\\c.txt");
    const struct {
        bool recurse, files, directories;
        tstring_array expected;
    } flags[] = {{true, true, true, {b, c}}, {true, false, true, {b}}, {false, true, true, {b}}, {true, true, false, {c}}};
    for (const auto& f : flags) {
        tstring_array list{L"kept"};
        DirectoryIterator(at(L"a\\e")).collect(list);
        DirectoryIterator(c).collect(list);
        DirectoryIterator(at(L"r")).recurse(f.recurse).includeFiles(f.files).includeDirectories(f.directories).collect(list);
        tstring_array expected{L"kept"};
        expected.insert(expected.end(), f.expected.begin(), f.expected.end());
        EXPECT_EQ(expected, list) << f.recurse << f.files << f.directories;
    }
}

TEST_F(FileUtilsTest, TreeDeletion) {
    make({L"t", L"t\\x", L"t\\x\\y", L"k", L"k\\sub"}, {L"t\\1", L"t\\x\\y\\2", L"k\\f", L"k\\sub\\g", L"file"});
    ASSERT_TRUE(SetFileAttributesW(at(L"t\\x\\y\\2").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(deleteDirectoryTree(at(L"t"), std::nothrow));
    EXPECT_FALSE(exists(at(L"t")));
    EXPECT_EQ(L"FileUtils::deleteDirectory|Deleted [" + at(L"t") + L"] directory", recorded(Severity::TRACE).back());

    EXPECT_TRUE(deleteFilesInDirectory(at(L"k"), std::nothrow));
    EXPECT_EQ(std::vector<tstring>{L"sub"}, listDir(at(L"k")));
    EXPECT_EQ(std::vector<tstring>{L"g"}, listDir(at(L"k\\sub")));

    EXPECT_FALSE(deleteDirectoryTree(at(L"file"), std::nothrow));
    EXPECT_TRUE(exists(at(L"file")));
    EXPECT_TRUE(deleteDirectoryTree(at(L"none"), std::nothrow));
    deleteDirectoryTree(at(L"k"));
    EXPECT_EQ(std::vector<tstring>{L"file"}, listDir(base));
    EXPECT_TRUE(recorded(Severity::ERROR).empty());
}

TEST_F(FileUtilsTest, TreeWithALockedFileKeepsOnlyThatFileAndItsParents) {
    make({L"t", L"t\\keep", L"t\\keep\\deep", L"t\\keep\\deep\\sib", L"t\\gone"},
         {L"t\\top", L"t\\gone\\x", L"t\\keep\\other", L"t\\keep\\deep\\locked", L"t\\keep\\deep\\sib\\y"});
    const UniqueHandle lock = holdOpen(at(L"t\\keep\\deep\\locked"));
    EXPECT_FALSE(deleteDirectoryTree(at(L"t"), std::nothrow));
    EXPECT_EQ(std::vector<tstring>{L"keep"}, listDir(at(L"t")));
    EXPECT_EQ(std::vector<tstring>{L"deep"}, listDir(at(L"t\\keep")));
    EXPECT_EQ(std::vector<tstring>{L"locked"}, listDir(at(L"t\\keep\\deep")));
    EXPECT_TRUE(recorded(Severity::ERROR).empty());
    EXPECT_TRUE(startsWith(thrownBy([&] { deleteDirectoryTree(at(L"t")); }).first,
                           "DeleteFile(" + u8(at(L"t\\keep\\deep\\locked")) + ") failed. "));
}

TEST_F(FileUtilsTest, TreeDeletionRemovesAJunctionButNotItsTarget) {
    make({L"outside", L"t", L"t\\link"}, {L"outside\\precious"});
    // A mount-point reparse buffer: tag, data length, reserved, substitute name offset and length,
    // print name offset and length, then the substitute name and an empty print name.
    const tstring target = L"\\??\\" + at(L"outside");
    const auto bytes = static_cast<WORD>(target.size() * 2);
    std::vector<WORD> buffer{0, 0, static_cast<WORD>(bytes + 12), 0, 0, bytes, static_cast<WORD>(bytes + 2), 0};
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, sizeof tag);
    buffer.insert(buffer.end(), target.begin(), target.end());
    buffer.insert(buffer.end(), {0, 0});
    const bool junction = [&] {
        const UniqueHandle link(CreateFileW(at(L"t\\link").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD returned = 0;
        return DeviceIoControl(link.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                               static_cast<DWORD>(buffer.size() * 2), nullptr, 0, &returned, nullptr) != 0;
    }();
    if (!junction) {
        GTEST_SKIP() << "no junctions on this file system: " << describeWinError(GetLastError());
    }
    EXPECT_TRUE(deleteDirectoryTree(at(L"t"), std::nothrow));
    EXPECT_FALSE(exists(at(L"t")));
    EXPECT_EQ("outside\\precious", readFile(at(L"outside\\precious")));
}

TEST_F(FileUtilsTest, TempDirectoriesOfProcessesStartedTogetherNeverFail) {
    const tstring eventName = L"Local\\tervo-temp-dir-race-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE start = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, start);
    std::vector<std::unique_ptr<ChildProcess>> racers;
    for (int i = 0; i < 6; ++i) {
        racers.push_back(std::make_unique<ChildProcess>(L"\"" + testProgramDir() + L"\\temp-dir-racer.exe\" \"" + base +
                                                        L"\" 150 " + eventName));
    }
    SetEvent(start);
    for (auto& racer : racers) {
        const ProcessResult r = racer->finish();
        EXPECT_EQ(0u, r.exitCode) << r.standardOutput << r.standardError;
    }
    CloseHandle(start);
    EXPECT_EQ(std::vector<tstring>{}, listDir(base));
}

TEST_F(FileUtilsTest, DeletionListRunsByKindThenInOrderAdded) {
    make({L"tree", L"tree\\sub", L"holder"}, {L"tree\\f", L"tree\\sub\\g", L"holder\\h", L"solo", L"kept"});
    {
        DeletionList list;
        list.addEmptyDirectory(at(L"holder")).addDirectoryTree(at(L"tree")).addFile(at(L"tree\\f"));
        list.addFilesInDirectory(at(L"holder")).addFile(at(L"solo")).addFile(at(L"never there"));
        DeletionList().addFile(at(L"kept")).clear();
    }
    EXPECT_EQ(std::vector<tstring>{L"kept"}, listDir(base));
    const std::vector<tstring> traces = recorded(Severity::TRACE);
    ASSERT_EQ(7u, traces.size());
    EXPECT_EQ(inUnit + L"deleteFileImpl|Deleted [" + at(L"tree\\f") + L"] file", traces[0]);
    EXPECT_EQ(inUnit + L"deleteFileImpl|Deleted [" + at(L"solo") + L"] file", traces[1]);
    EXPECT_EQ(inUnit + L"deleteFileImpl|Deleted [" + at(L"holder\\h") + L"] file", traces[2]);
    EXPECT_EQ(L"FileUtils::deleteDirectory|Deleted [" + at(L"holder") + L"] directory", traces[6]);
}

TEST_F(FileUtilsTest, DeletionListRunsWhileAnExceptionUnwinds) {
    make({L"work"}, {L"work\\main.msi", L"work\\other"});
    const UniqueHandle lock = holdOpen(at(L"work\\main.msi"));
    try {
        DeletionList list;
        list.addDirectoryTree(at(L"work"));
        throw std::runtime_error("failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(at(L"work")));
    EXPECT_TRUE(recorded(Severity::ERROR).empty());
}

TEST_F(FileUtilsTest, EmptyDirectoryChainStopsBelowTheRoot) {
    // The root is empty where nothing may be deleted, and its parent holds nothing else: a root
    // wrongly scheduled would go, and its parent after it.
    const tstring root = at(L"R");
    const struct {
        tstring root;
        tstring relative;
        std::vector<const wchar_t*> deleted;  // below R, deepest first
    } cases[] = {
        {at(L"R\\"), L"A\\B", {L"A\\B", L"A"}},
        {root, L"A/./B\\", {L"A\\B", L"A"}},
        {root, L"A\\C\\..\\B", {L"A\\B", L"A"}},
        {root + L"\\.", L"A\\B", {L"A\\B", L"A"}},
        {root, L"", {}},
        {root, L".", {}},
        {root, L"..", {}},
        {root, L"A\\..", {}},
        {root, L"A\\..\\..", {}},
        {root, L"..\\R\\A", {}},
        {root, L"...", {}},
        {root, L". .", {}},
        {root, L". .\\A", {}},
        {root, L"...\\A", {}},
        {root, L"A\\B\\..\\..\\..\\..", {}},
        {root, base, {}},
        {root, L"\\", {}},
        {L"\\\\?\\" + root, L"..", {}},
        {L"Q:\\nowhere\\.", L"a\\b", {}},
    };
    for (const auto& c : cases) {
        const std::string name = u8(c.root) + " + " + u8(c.relative);
        if (c.deleted.empty()) {
            make({L"R"}, {});
        } else {
            make({L"R", L"R\\A", L"R\\A\\B"}, {});
        }
        capture.records.clear();
        DeletionList().addEmptyDirectoryChain({c.root, c.relative});
        std::vector<tstring> expected;
        for (const wchar_t* below : c.deleted) {
            expected.push_back(L"FileUtils::deleteDirectory|Deleted [" + foldPath(at(L"R\\") + below) + L"] directory");
        }
        EXPECT_EQ(expected, recorded(Severity::TRACE)) << name;
        ASSERT_TRUE(isDirectory(root)) << name;
        ASSERT_TRUE(removeTreeForTest(root)) << name;
    }
}

TEST_F(FileUtilsTest, StagedWriterCommitsOrLeavesTheDestinationAlone) {
    const std::string old("old\r\n\0bytes", 11), bytes("MZ\r\n\0\x1a\xff end", 11);
    writeFile(at(L"main.msi"), old);
    tstring staged;
    {
        StagedFileWriter writer(at(L"main.msi"));
        writer.write("new", 3);
        staged = listDir(base).at(1);
        EXPECT_TRUE(std::regex_match(u8(staged), std::regex("stg-?[0-9]+\\.tmp")));
        capture.records.clear();
    }
    EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(base));
    EXPECT_EQ(old, readFile(at(L"main.msi")));
    // Removed as its handle closed, and traced once, as every deletion is.
    EXPECT_EQ(std::vector<tstring>{L"FileUtils::StagedFileWriter::~StagedFileWriter|Deleted [" + at(staged) + L"] file"},
              recorded(Severity::TRACE));

    StagedFileWriter writer(at(L"main.msi"));
    writer.write(bytes.data(), 5).write(bytes.data() + 5, bytes.size() - 5).commit();
    EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(base));
    EXPECT_EQ(bytes, readFile(at(L"main.msi")));
    const tstring moved = recorded(Severity::TRACE).back();
    EXPECT_TRUE(tstrings::hasPrefix(moved, inUnit + L"moveFileImpl|Moved '" + at(L"stg"))) << moved;
    EXPECT_TRUE(tstrings::hasSuffix(moved, L".tmp' file to '" + at(L"main.msi") + L"'")) << moved;
    EXPECT_EQ("Cannot write [" + tstrings::encodeUtf8(at(L"main.msi")) + "]: the file is already committed",
              thrownBy([&] { writer.write("x", 1); }).first);

    StagedFileWriter(at(L"empty")).write(nullptr, 0).commit();
    EXPECT_TRUE(exists(at(L"empty")));
    EXPECT_EQ("", readFile(at(L"empty")));
}

TEST_F(FileUtilsTest, StagedWriterFailuresLeaveNoTemporaryFile) {
    EXPECT_TRUE(startsWith(thrownBy([&] { StagedFileWriter writer(at(L"missing\\main.msi")); }).first,
                           "createTempFile(stg, .tmp, " + u8(at(L"missing")) + ") failed. System error [3]"));
    EXPECT_TRUE(listDir(base).empty());
    // A directory in the destination's place makes the move fail after the data is written.
    make({L"occupied"}, {});
    EXPECT_TRUE(startsWith(thrownBy([&] { StagedFileWriter(at(L"occupied")).write("data", 4).commit(); }).first,
                           "MoveFileEx(" + u8(at(L"stg"))));
    EXPECT_EQ(std::vector<tstring>{L"occupied"}, listDir(base));

    // A process that dies half-way, running no destructor, leaves no temporary file either.
    writeFile(at(L"main.msi"), "the old package");
    const ProcessResult killed =
        runProcess(L"\"" + testProgramDir() + L"\\staged-writer-probe.exe\" \"" + at(L"main.msi") + L"\"");
    EXPECT_EQ(3u, killed.exitCode);
    EXPECT_EQ((std::vector<tstring>{L"main.msi", L"occupied"}), listDir(base));
    EXPECT_EQ("the old package", readFile(at(L"main.msi")));
}

// A new, empty directory with a temporary name, also when "another process" puts a directory or a
// file of its own where the placeholder was, `times` times, until the 100 names are used up.
TEST_F(FileUtilsTest, TempDirectoryIsNewAndEmptyAlsoWhenOthersTakeNames) {
    const struct {
        int times;
        bool directory;
        const char* failure;
    } cases[] = {{0, true, nullptr}, {1, true, nullptr}, {1, false, nullptr},
                 {100, true, "createTempDirectory(, .tmp, "}, {100, false, "createTempDirectory(, .tmp, "}};
    for (const auto& c : cases) {
        const tstring where = at(std::to_wstring(c.times) + (c.directory ? L"d" : L"f"));
        ASSERT_TRUE(CreateDirectoryW(where.c_str(), nullptr));
        std::vector<tstring> names;
        const IMPORT_HOOK(DeleteFileW) other([&](auto original, LPCWSTR path) {
            const BOOL deleted = original(path);
            if (names.size() < static_cast<std::size_t>(c.times)) {
                names.push_back(leafName(path));
                c.directory ? CreateDirectoryW(path, nullptr)
                            : CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
            }
            return deleted;
        });
        if (c.failure) {
            EXPECT_EQ(0u, thrownBy([&] { createTempDirectory(L"", L".tmp", where); }).first.find(c.failure + u8(where)));
            EXPECT_EQ(100u, listDir(where).size());
            continue;
        }
        const tstring path = createTempDirectory(L"", L".tmp", where);
        EXPECT_TRUE(std::regex_match(u8(leafName(path)), std::regex("-?[0-9]+\\.tmp"))) << u8(path);
        EXPECT_TRUE(isDirectory(path) && !isNonEmptyDirectory(path));
        names.push_back(leafName(path));
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, listDir(where)) << "the other's name is not handed out";
    }
}

TEST_F(FileUtilsTest, ReadOnlyFileWhoseAttributeCannotBeClearedStaysWithAWarning) {
    make({}, {L"ro"});
    ASSERT_TRUE(SetFileAttributesW(at(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    std::string thrown;
    {
        const IMPORT_HOOK(SetFileAttributesW) refused(failing<BOOL>(FALSE, ERROR_SHARING_VIOLATION, 2));
        EXPECT_FALSE(deleteFile(at(L"ro"), std::nothrow));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "the deletion's error, not the attribute's";
        thrown = thrownBy([&] { deleteFile(at(L"ro")); }).first;
    }
    EXPECT_TRUE(startsWith(thrown, "DeleteFile(" + u8(at(L"ro")) + ") failed. System error [5]")) << thrown;
    EXPECT_TRUE(exists(at(L"ro")));
    const tstring warning = L"FileUtils::deleteFile|Failed to discard R/O attribute from [" + at(L"ro") +
                            L"] file. File will not be deleted. System error [32](" +
                            systemErrorText(ERROR_SHARING_VIOLATION) + L")";
    EXPECT_EQ((std::vector<tstring>{warning, warning}), recorded(Severity::WARNING));
    EXPECT_TRUE(recorded(Severity::TRACE).empty());
}

TEST_F(FileUtilsTest, FailedEnumerationIsThrownOrReportedByTheDeleter) {
    make({L"t"}, {L"t\\f"});
    const std::string failure = "FindNextFile(" + u8(at(L"t")) + ") failed. System error [5]";
    {
        const IMPORT_HOOK(FindNextFileW) broken(failing<BOOL>(FALSE, ERROR_ACCESS_DENIED, 2));
        RecordingCallback all(SIZE_MAX);
        EXPECT_TRUE(startsWith(thrownBy([&] { iterateDirectory(at(L"t"), all); }).first, failure));
        EXPECT_FALSE(deleteDirectoryTree(at(L"t"), std::nothrow));
    }
    EXPECT_EQ(std::vector<tstring>{L"f"}, listDir(at(L"t")));
    const std::vector<tstring> errors = recorded(Severity::ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(0u, errors[0].find(inUnit + L"BatchDeleter::execute|Exception with message '")) << u8(errors[0]);
    EXPECT_NE(tstring::npos, errors[0].find(tstrings::decodeUtf8(failure))) << u8(errors[0]);
}

TEST_F(FileUtilsTest, AbsolutePathsSingleTempFilesAndNonEmptyDirectories) {
    wchar_t current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, current));
    EXPECT_EQ(current, toAbsolutePath(L""));
    EXPECT_EQ(joinPath(current, L"b"), toAbsolutePath(L"a\\..\\b"));
    make({L"d"}, {L"d\\data.bin"});
    EXPECT_EQ(at(L"new.bin"), createTempFile(at(L"new.bin")));
    const tstring beside = createTempFile(at(L"d\\data.bin"));
    EXPECT_EQ(at(L"d"), parentPath(beside));
    EXPECT_TRUE(std::regex_match(u8(leafName(beside)), std::regex("data-?[0-9]+\\.bin"))) << u8(beside);
    EXPECT_TRUE(isNonEmptyDirectory(at(L"d")));
    EXPECT_FALSE(isNonEmptyDirectory(at(L"new.bin")));
}

TEST_F(FileUtilsTest, ChainsCreateNothingInsideAShareOrADevicePrefix) {
    std::vector<tstring> made;
    const IMPORT_HOOK(CreateDirectoryW) record([&](auto, LPCWSTR path, LPSECURITY_ATTRIBUTES) {
        made.push_back(path);
        return TRUE;
    });
    const std::pair<const wchar_t*, std::vector<tstring>> cases[] = {
        {L"\\\\server\\share\\a\\b", {L"\\\\server\\share\\a\\", L"\\\\server\\share\\a\\b\\"}},
        {L"//server/share/a", {L"//server/share/a\\"}},
        {L"\\\\?\\UNC\\server\\share\\a", {L"\\\\?\\UNC\\server\\share\\a\\"}},
        {L"\\\\?\\C:\\a", {L"\\\\?\\C:\\", L"\\\\?\\C:\\a\\"}},
    };
    for (const auto& [path, expected] : cases) {
        made.clear();
        createDirectoryChain(path);
        EXPECT_EQ(expected, made) << u8(path);
    }
}
