// The default install log: its name, the counter on taken names, and a folder that refuses it.
#include "ImportHook.h"
#include "InstallLog.h"
#include "TestSupport.h"
#include "app.h"

namespace {

const SYSTEMTIME start = {2026, 12, 2, 8, 21, 45, 2, 999};
const tstring stamp = L"_20261208_214502";

class InstallLogTest : public TempDirTest {
protected:
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

} // namespace

TEST_F(InstallLogTest, NamedAfterTheProductAndTheStartWithACounterWhereTaken) {
    const tstring base = L"Tervo H\u00e9llo";
    writeFile(pathOf(base + stamp + L"_3.log"), "someone else's");
    ASSERT_TRUE(CreateDirectoryW(pathOf(base + stamp + L"_2.log").c_str(), nullptr));
    const tstring expected[] = {base + stamp + L".log", base + stamp + L"_4.log", base + stamp + L"_5.log"};
    for (const tstring& name : expected) {
        EXPECT_EQ(tstrings::encodeUtf8(pathOf(name)), tstrings::encodeUtf8(InstallLog::create(dir, base, start)));
        EXPECT_EQ("", readFile(pathOf(name)));
    }
    EXPECT_EQ("someone else's", readFile(pathOf(base + stamp + L"_3.log")));
    EXPECT_TRUE(capture.messages(Severity::WARNING).empty());
}

TEST_F(InstallLogTest, AFolderThatRefusesItGivesNoLogAndSaysWhy) {
    const tstring missing = pathOf(L"missing");
    EXPECT_EQ(L"", InstallLog::create(missing, L"App", start));
    const std::vector<tstring> warnings = capture.messages(Severity::WARNING);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find(L"No install log: CreateFile(" + missing + L"\\App" + stamp + L".log) failed with "
                                   L"system error 3 ("))
        << tstrings::encodeUtf8(warnings[0]);

    // Refused for a reason other than a taken name: one attempt, not a thousand.
    int calls = 0;
    IMPORT_HOOK(CreateFileW) refuse([&](auto, auto...) -> HANDLE {
        ++calls;
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    });
    EXPECT_EQ(L"", InstallLog::create(dir, L"App", start));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(std::vector<tstring>{}, listDir(dir));
}

TEST_F(InstallLogTest, TheLaunchersFailureIsAppendedToTheLogItMade) {
    const tstring log = InstallLog::create(dir, L"App", start);
    ASSERT_TRUE(InstallLog::appendLine(log, "=== msiexec's lines ==="));
    InstallLog::FailureAppender failures;
    const std::string text = "The installation package inside setup \xc3\xa4.exe is damaged (checksum mismatch).";
    app::setLastErrorMsg(&text);
    LogRecord record;
    record.timestamp = start;
    failures.append(record);
    failures.setLog(log, L"setup \u00e4.exe");
    failures.append(record);
    app::setLastErrorMsg(nullptr);
    EXPECT_EQ("=== msiexec's lines ===\r\n2026-12-08 21:45:02 setup \xc3\xa4.exe: " + text + "\r\n", readFile(log));
    EXPECT_FALSE(InstallLog::appendLine(pathOf(L"gone.log"), "x"));
    EXPECT_FALSE(exists(pathOf(L"gone.log")));
}
