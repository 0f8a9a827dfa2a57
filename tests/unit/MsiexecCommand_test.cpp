// msiexec's command line: the verb and its target, the arguments as typed, then the default log.
#include "MsiexecCommand.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

class MsiexecCommandTest : public TempDirTest {
protected:
    tstring msiexec() const { return SysInfo::getMsiexecPath(); }
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

} // namespace

TEST_F(MsiexecCommandTest, TheArgumentsAsTypedThenTheLog) {
    const tstring log = pathOf(L"App 1_20261208_214502.log");
    const struct {
        tstring arguments;
        tstring log;
        tstring tail;  // what follows the package
    } cases[] = {
        {L"", L"", L""},
        {L"/qn  P=\"a \"\"b\"\"\\\"", L"", L" /qn  P=\"a \"\"b\"\"\\\""},
        {L"/qn", log, L" /qn /l*v \"" + log + L"\""},
        {L"", log, L" /l*v \"" + log + L"\""},
        {L"/qn P=\"left open ", log, L" /qn P=\"left open \" /l*v \"" + log + L"\""},
        {L"/qn P=\"left open ", L"", L" /qn P=\"left open "},
    };
    for (const auto& c : cases) {
        tstring kept = c.log;
        const Executor command = msiexecCommand(L"/i", L"\"C:\\T 1\\5.tmp\\main.msi\"", c.arguments, kept);
        EXPECT_EQ(tstrings::encodeUtf8(msiexec() + L" /i \"C:\\T 1\\5.tmp\\main.msi\"" + c.tail),
                  tstrings::encodeUtf8(command.commandLine()));
        EXPECT_EQ(c.log, kept);
    }
    EXPECT_TRUE(capture.messages(Severity::WARNING).empty());
}

TEST_F(MsiexecCommandTest, ALogThatWouldPassTheLimitIsLeftOutButNeverTheArguments) {
    const tstring package = pathOf(L"main.msi");
    const tstring logFile = pathOf(L"App_20261208_214502.log");
    tstring noLog;
    const size_t base = msiexecCommand(L"/i", package, L"", noLog).commandLine().size() + 1;
    const size_t logPart = (L" /l*v " + logFile).size();
    const struct {
        const char* name;
        size_t argumentsLength;
        bool logKept;
    } cases[] = {
        {"with the log at the limit", Executor::maxCommandLineLength - base - logPart, true},
        {"with the log one over", Executor::maxCommandLineLength - base - logPart + 1, false},
        {"without the log at the limit", Executor::maxCommandLineLength - base, false},
    };
    for (const auto& c : cases) {
        writeFile(logFile, "");
        tstring log = logFile;
        const Executor command = msiexecCommand(L"/i", package, tstring(c.argumentsLength, L'x'), log);
        EXPECT_EQ(c.logKept, log == logFile) << c.name;
        EXPECT_EQ(c.logKept, exists(logFile)) << c.name;
        EXPECT_EQ(c.logKept, command.commandLine().find(L"/l*v") != tstring::npos) << c.name;
        EXPECT_NE(tstring::npos, command.commandLine().find(tstring(c.argumentsLength, L'x'))) << c.name;
        EXPECT_EQ(c.logKept ? 0u : 1u, capture.messages(Severity::WARNING).size()) << c.name;
        capture.records.clear();
    }
}

TEST_F(MsiexecCommandTest, ALineOverTheLimitCountsWhatWasTypedAndWhatTheLauncherAdds) {
    const tstring logFile = pathOf(L"App_20261208_214502.log");
    writeFile(logFile, "");
    const struct {
        const wchar_t* verb;
        tstring target;
        const char* added;
    } cases[] = {
        {L"/i", pathOf(L"main.msi"), "(msiexec's path, /i and the package's path)"},
        {L"/x", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}", "(msiexec's path, /x and the product code)"},
    };
    for (const auto& c : cases) {
        tstring noLog;
        const size_t added = msiexecCommand(c.verb, c.target, L"", noLog).commandLine().size() + 1;
        const size_t typed = Executor::maxCommandLineLength - added + 1;
        tstring log = logFile;
        // One character over without the default log: its length is not counted.
        EXPECT_EQ("Cannot start msiexec.exe: its command line would be 32767 characters long, and the system "
                  "allows at most 32766 (system error 206): " +
                      std::to_string(typed) + " characters of arguments as they were typed, and " +
                      std::to_string(added) + " that the launcher adds " + c.added + ". Pass fewer or shorter arguments.",
                  thrownPlainMessage([&] { msiexecCommand(c.verb, c.target, tstring(typed, L'x'), log); }, "msiexecCommand"));
        EXPECT_EQ(logFile, log) << "the log stays for the failure's record";
    }
}
