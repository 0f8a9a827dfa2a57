#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "ImportHook.h"
#include "Log.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

// Redirects the C runtime's standard error into a file for the life of the object.
class CaptureStandardError {
public:
    CaptureStandardError() {
        wchar_t dir[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, dir);
        GetTempFileNameW(dir, L"err", 0, path);
        std::fflush(stderr);
        saved = _dup(_fileno(stderr));
        const int file = _wopen(path, _O_WRONLY | _O_TEXT | _O_TRUNC);
        _dup2(file, _fileno(stderr));
        _close(file);
    }
    ~CaptureStandardError() {
        restore();
        DeleteFileW(path);
    }
    std::string text() {
        restore();
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

private:
    void restore() {
        if (saved >= 0) {
            std::fflush(stderr);
            _dup2(saved, _fileno(stderr));
            _close(saved);
            saved = -1;
        }
    }
    wchar_t path[MAX_PATH + 1] = {};
    int saved = -1;
};

} // namespace

TEST(Logger, InstallingReturnsThePreviousAppender) {
    Logger& logger = Logger::global();
    NopLogAppender a, b;
    LogAppender* original = logger.installAppender(&a);
    EXPECT_EQ(&a, logger.installAppender(&b));
    EXPECT_EQ(&b, logger.installAppender(original));
    EXPECT_EQ(original, logger.currentAppender());
    for (int level = 0; level < 5; ++level) {
        EXPECT_TRUE(logger.accepts(static_cast<Severity>(level)));
    }
}

TEST(Logger, RecordFieldsAndLevelNames) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    Logger::global().write(Severity::WARNING, L"C:\\src\\x/unit.cpp", 42, L"ns::f", L"text");
    Logger::global().write(static_cast<Severity>(7), L"unit.cpp", 1, L"f", tstrings::MessageBuilder() << "n=" << 5);
    ASSERT_EQ(2u, capture.records.size());
    const LogRecord& r = capture.records[0];
    EXPECT_EQ(L"WARNING", r.levelName);
    EXPECT_EQ(L"unit.cpp", r.fileName);
    EXPECT_EQ(42, r.line);
    EXPECT_EQ(L"ns::f", r.functionName);
    EXPECT_EQ(L"text", r.message);
    EXPECT_EQ(GetCurrentProcessId(), r.processId);
    EXPECT_EQ(GetCurrentThreadId(), r.threadId);
    EXPECT_NE(0, r.timestamp.wYear);
    EXPECT_EQ(L"Log_test.exe", tstring(r.moduleName));
    EXPECT_EQ(L"UNKNOWN", capture.records[1].levelName);
    EXPECT_EQ(L"n=5", capture.records[1].message);
}

TEST(StreamLogAppender, FullTwoLineFormat) {
    std::ostringstream out;
    StreamLogAppender appender(&out);
    ScopedAppender scope(&appender);
    Logger::global().write(Severity::INFO, L"dir\\unit.cpp", 12, L"ns::f", L"J\u00fcrgen");
    const std::regex format(
        R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}, Log_test\.exe \(PID: (\d+), TID: (\d+)\), unit\.cpp:12 \(ns::f\)\]
	INFO: J\xc3\xbcrgen
)");
    std::smatch match;
    const std::string text = out.str();
    ASSERT_TRUE(std::regex_match(text, match, format)) << text;
    EXPECT_EQ(std::to_string(GetCurrentProcessId()), match[1].str());
    EXPECT_EQ(std::to_string(GetCurrentThreadId()), match[2].str());
}

TEST(StandardLogAppender, ShortFormatOnStandardError) {
    CaptureStandardError err;
    StandardLogAppender appender;
    ScopedAppender scope(&appender);
    Logger::global().write(Severity::TRACE, L"C:\\src\\app.cpp", 7, L"app::launch", L"Entering \u03a9");
    EXPECT_EQ("[TRACE] app.cpp:7: Entering \xce\xa9\r\n", err.text());
}

TEST(LastErrorLogAppender, WritesTheLastErrorMessageNotTheRecord) {
    CaptureStandardError err;
    LastErrorLogAppender appender;
    ScopedAppender scope(&appender);
    logAt(Severity::ERROR, tstrings::MessageBuilder() << "ignored");
    const std::string message = "Cannot write C:\\J\xc3\xbcrgen";
    app::setLastErrorMsg(&message);
    EXPECT_EQ(message, app::lastErrorMsg());
    logAt(Severity::ERROR, tstrings::MessageBuilder() << "ignored");
    app::setLastErrorMsg(nullptr);
    EXPECT_EQ("", app::lastErrorMsg());
    EXPECT_EQ("\r\n" + message + "\r\n", err.text());
}

TEST(TeeLogAppender, FansOutInOrderAndSkipsNull) {
    CapturingAppender first, second;
    TeeLogAppender both(&first, &second);
    TeeLogAppender onlySecond(nullptr, &second);
    TeeLogAppender none(nullptr, nullptr);
    {
        ScopedAppender scope(&both);
        logAt(Severity::INFO, tstrings::MessageBuilder() << "one");
        Logger::global().installAppender(&onlySecond);
        logAt(Severity::INFO, tstrings::MessageBuilder() << "two");
        Logger::global().installAppender(&none);
        logAt(Severity::INFO, tstrings::MessageBuilder() << "three");
    }
    EXPECT_EQ(std::vector<tstring>{L"one"}, first.messages(Severity::INFO));
    EXPECT_EQ((std::vector<tstring>{L"one", L"two"}), second.messages(Severity::INFO));
}

TEST(WithExtraLogAppender, ChainsBehindTheCurrentSinkAndRestoresIt) {
    std::vector<std::string> order;
    struct Named : LogAppender {
        Named(std::vector<std::string>& order, std::string name) : order(order), name(std::move(name)) {}
        void append(const LogRecord&) override { order.push_back(name); }
        std::vector<std::string>& order;
        std::string name;
    } base(order, "base"), extra(order, "extra"), inner(order, "inner");
    ScopedAppender scope(&base);
    {
        WithExtraLogAppender outer(&extra);
        EXPECT_NE(&base, Logger::global().currentAppender());
        {
            WithExtraLogAppender nested(&inner);
            logAt(Severity::ERROR, tstrings::MessageBuilder() << "x");
        }
        logAt(Severity::ERROR, tstrings::MessageBuilder() << "y");
    }
    EXPECT_EQ(&base, Logger::global().currentAppender());
    EXPECT_EQ((std::vector<std::string>{"base", "extra", "inner", "base", "extra"}), order);
}

TEST(TraceScope, EntryAndExitRecords) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    int entryLine = 0;
    {
        TraceScope trace(Severity::TRACE, L"app::launch");
        entryLine = __LINE__ - 1;
    }
    ASSERT_EQ(2u, capture.records.size());
    EXPECT_EQ(L"Entering app::launch", capture.records[0].message);
    EXPECT_EQ(entryLine, capture.records[0].line);
    EXPECT_EQ(L"TRACE", capture.records[0].levelName);
    EXPECT_EQ(L"TraceScope_EntryAndExitRecords_Test::TestBody", capture.records[0].functionName);
    EXPECT_EQ(0, capture.records[1].line);
    EXPECT_EQ(L"Exiting app::launch (entered at Log_test.cpp:" + std::to_wstring(entryLine) + L")",
              capture.records[1].message);
}

TEST(ModuleHandle, IsTheExecutableThatHoldsTheLibrary) {
    EXPECT_EQ(GetModuleHandleW(nullptr), SysInfo::getCurrentModuleHandle());
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_EQ(tstring(path, length), SysInfo::getCurrentModulePath());
    EXPECT_EQ(L"Log_test.exe", FileUtils::leafName(SysInfo::getCurrentModulePath()));
}

TEST(StandardLogAppender, ConsoleGetsLongRecordsInPiecesAndTheByteStreamWhatItRefuses) {
    // A record longer than a console takes at once, with a surrogate pair across the first boundary.
    const std::string longText = std::string(8191, 'a') + "\xf0\x9f\x98\x80" + std::string(9000, 'b') + "\n";
    const tstring wide = tstrings::replaceAll(tstrings::decodeUtf8(longText), L"\n", L"\r\n");
    const IMPORT_HOOK(GetConsoleMode) console([](auto, HANDLE, LPDWORD mode) -> BOOL {
        *mode = ENABLE_PROCESSED_OUTPUT;
        return TRUE;
    });
    const struct {
        const char* name;
        int acceptedCalls;  // calls that succeed before the console refuses
        size_t reachesConsole;
    } cases[] = {
        {"all accepted", 100, wide.size()},
        {"refused at once", 0, 0},
        {"refused after one piece", 1, 8191},
    };
    for (const auto& c : cases) {
        tstring shown;
        std::vector<DWORD> pieces;
        int calls = 0;
        CaptureStandardError err;
        {
            const IMPORT_HOOK(WriteConsoleW) write([&](auto, HANDLE, const VOID* text, DWORD count, LPDWORD written,
                                                       LPVOID) -> BOOL {
                if (calls++ >= c.acceptedCalls) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return FALSE;
                }
                pieces.push_back(count);
                shown.append(static_cast<const wchar_t*>(text), count);
                *written = count;
                return TRUE;
            });
            writeStandardError(longText);
        }
        EXPECT_EQ(c.reachesConsole, shown.size()) << c.name;
        EXPECT_TRUE(std::all_of(pieces.begin(), pieces.end(), [](DWORD n) { return n <= 8192; })) << c.name;
        EXPECT_TRUE(shown == wide.substr(0, shown.size())) << c.name;
        // The rest reaches the byte stream in UTF-8, its line end as the C stream writes it.
        const std::string rest = tstrings::encodeUtf8(wide.substr(shown.size()));
        EXPECT_TRUE(err.text() == rest) << c.name;
    }
}
