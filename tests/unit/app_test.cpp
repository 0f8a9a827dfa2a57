#include <regex>

#include "SysInfo.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"
#include "app.h"

namespace {

tstring probe() { return L"\"" + testProgramDir() + L"\\frame-probe.exe\""; }

ProcessResult runProbe(const tstring& args, const tstring& debug = L"") {
    return runProcess(probe() + L" " + args, {L"TERVO_DEBUG=" + debug});
}

constexpr DWORD failed = 0xFFFFFFFF;

} // namespace

TEST(LaunchFrame, TervoErrorShowsItsOwnTextAndExitsMinusOne) {
    const ProcessResult r = runProbe(L"tervo-error \"Cannot open package\"");
    EXPECT_EQ(failed, r.exitCode);
    EXPECT_EQ(std::vector<std::string>{"Cannot open package"}, outputLines(r.standardError));
    EXPECT_TRUE(r.standardError.ends_with("\n"));
    EXPECT_EQ("", r.standardOutput);
}

TEST(LaunchFrame, NonAsciiTextReachesStandardErrorIntact) {
    const ProcessResult r = runProbe(L"sys-error \"C:\\no such\\J\u00fcrgen \u65e5\u672c\\main.msi\"");
    EXPECT_EQ(failed, r.exitCode);
    const std::string expected = "CreateFile(C:\\no such\\J\xc3\xbcrgen \xe6\x97\xa5\xe6\x9c\xac\\main.msi) failed. "
                                 "System error [3](" + tstrings::encodeUtf8(systemErrorText(3)) + ")";
    EXPECT_EQ(std::vector<std::string>{expected}, outputLines(r.standardError));
}

TEST(LaunchFrame, OtherFailuresShowTheRuntimeTextOrUnknownError) {
    const struct {
        const wchar_t* args;
        const char* expected;
    } cases[] = {
        {L"runtime-error", "No such file or directory"},
        {L"bad-alloc", "Unknown error"},
        {L"int", "Unknown error"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runProbe(c.args);
        EXPECT_EQ(failed, r.exitCode) << c.expected;
        EXPECT_EQ(std::vector<std::string>{c.expected}, outputLines(r.standardError));
    }
}

TEST(LaunchFrame, NormalReturnPassesTheStoredCodeAndIsSilent) {
    for (const wchar_t* code : {L"0", L"1603", L"3010"}) {
        const ProcessResult r = runProbe(tstring(L"return ") + code, L"TRUE");
        EXPECT_EQ(std::stoul(code), r.exitCode);
        EXPECT_EQ("", r.standardError);
    }
}

TEST(LaunchFrame, DebugModeWritesTheShortRecordsToStandardError) {
    const ProcessResult r = runProbe(L"tervo-error \"It broke\"", L"true");
    EXPECT_EQ(failed, r.exitCode);
    const std::vector<std::string> got = outputLines(r.standardError);
    ASSERT_EQ(4u, got.size()) << r.standardError;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, std::regex(R"(\[TRACE\] app\.cpp:(\d+): Entering app::launch)"))) << got[0];
    const std::string entryLine = m[1];
    EXPECT_TRUE(std::regex_match(
        got[1], std::regex(R"(\[ERROR\] app\.cpp:\d+: Exception with message 'frame-probe\.cpp\(\d+\) at )"
                           R"(`anonymous-namespace'::driver\(\): It broke' caught)")))
        << got[1];
    EXPECT_EQ("It broke", got[2]);
    EXPECT_EQ("[TRACE] app.cpp:0: Exiting app::launch (entered at app.cpp:" + entryLine + ")", got[3]);
}

TEST(LaunchFrame, OnlyTheExactValueTrueIsDebugMode) {
    for (const wchar_t* value : {L"TRUE", L"1", L"true ", L""}) {
        const ProcessResult r = runProbe(L"int", value);
        EXPECT_EQ(failed, r.exitCode);
        EXPECT_EQ(std::vector<std::string>{"Unknown error"}, outputLines(r.standardError)) << tstrings::encodeUtf8(value);
    }
    const ProcessResult debug = runProbe(L"int", L"true");
    EXPECT_NE(std::string::npos, debug.standardError.find("] app.cpp:")) << debug.standardError;
    EXPECT_NE(std::string::npos, debug.standardError.find("Unknown exception caught"));
}

TEST(LaunchFrame, LaunchInProcessRestoresTheSinkAndClearsTheMessage) {
    CapturingAppender extra;
    const int result = app::launch(std::nothrow, [] { throw TervoError<std::runtime_error>(std::runtime_error("x")); },
                                   &extra);
    EXPECT_EQ(1, result);
    EXPECT_EQ("", app::lastErrorMsg());
    ASSERT_EQ(1u, extra.records.size());
    EXPECT_EQ(L"ERROR", extra.records[0].levelName);
    EXPECT_EQ(L"app::launch", extra.records[0].functionName);

    CapturingAppender untouched;
    EXPECT_EQ(0, app::launch(std::nothrow, [] {}, &untouched));
    EXPECT_TRUE(untouched.records.empty());
}

TEST(LaunchFrame, InvalidUtf8IsWidenedByteByByteNotLost) {
    struct : LogAppender {
        void append(const LogRecord& record) override {
            shown = app::lastErrorMsg();
            message = record.message;
        }
        std::string shown;
        tstring message;
    } sink;
    EXPECT_EQ(1, app::launch(std::nothrow, [] { throw TervoError<std::runtime_error>(std::runtime_error("bad \xff\xfe")); },
                             &sink));
    EXPECT_EQ("bad \xc3\xbf\xc3\xbe", sink.shown);
    EXPECT_NE(tstring::npos, sink.message.find(L"bad \u00ff\u00fe'")) << tstrings::encodeUtf8(sink.message);
}

// Before anything installs a sink, a record goes to standard output in the full format, under the
// module's name: "Unknown" when its path cannot be read, at most 259 characters of it.
TEST(LaunchFrame, RecordBeforeAnySinkGoesToStandardOutputInFull) {
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"", "frame-probe\\.exe"}, {L"unknown", "Unknown"}, {L"long", "x{259}"}};
    for (const auto& [mode, module] : cases) {
        const ProcessResult r = runProbe(L"early-record " + tstring(mode));
        EXPECT_EQ(0u, r.exitCode);
        EXPECT_TRUE(std::regex_match(
            r.standardOutput, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}, )" + module +
                                         R"( \(PID: \d+, TID: \d+\), frame-probe\.cpp:\d+ \([^)]+\)\]\r\n\tINFO: before any sink\r\n)")))
            << r.standardOutput;
    }
}
