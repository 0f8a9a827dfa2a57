// msiexec's command line for the install: the arguments as typed, then the default log.
#include "MsiexecInstall.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

class MsiexecInstallTest : public TempDirTest {
protected:
    tstring msiexec() const { return SysInfo::getMsiexecPath(); }
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

} // namespace

TEST_F(MsiexecInstallTest, TheArgumentsAsTypedThenTheLog) {
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
        const Executor command = msiexecInstall(L"C:\\T 1\\5.tmp\\main.msi", c.arguments, kept);
        EXPECT_EQ(tstrings::encodeUtf8(msiexec() + L" /i \"C:\\T 1\\5.tmp\\main.msi\"" + c.tail),
                  tstrings::encodeUtf8(command.commandLine()));
        EXPECT_EQ(c.log, kept);
    }
    EXPECT_TRUE(capture.messages(Severity::WARNING).empty());
}

TEST_F(MsiexecInstallTest, ALogThatWouldPassTheLimitIsLeftOutButNeverTheArguments) {
    const tstring package = pathOf(L"main.msi");
    const tstring logFile = pathOf(L"App_20261208_214502.log");
    tstring noLog;
    const size_t base = msiexecInstall(package, L"", noLog).commandLine().size() + 1;
    const size_t logPart = (L" /l*v " + logFile).size();
    const struct {
        const char* name;
        size_t argumentsLength;
        bool logKept;
    } cases[] = {
        {"with the log at the limit", Executor::maxCommandLineLength - base - logPart, true},
        {"with the log one over", Executor::maxCommandLineLength - base - logPart + 1, false},
        {"over even without the log", Executor::maxCommandLineLength - base + 1, true},
    };
    for (const auto& c : cases) {
        writeFile(logFile, "");
        tstring log = logFile;
        const Executor command = msiexecInstall(package, tstring(c.argumentsLength, L'x'), log);
        EXPECT_EQ(c.logKept, log == logFile) << c.name;
        EXPECT_EQ(c.logKept, exists(logFile)) << c.name;
        EXPECT_EQ(c.logKept, command.commandLine().find(L"/l*v") != tstring::npos) << c.name;
        EXPECT_NE(tstring::npos, command.commandLine().find(tstring(c.argumentsLength, L'x'))) << c.name;
        EXPECT_EQ(c.logKept ? 0u : 1u, capture.messages(Severity::WARNING).size()) << c.name;
        capture.records.clear();
    }
}
