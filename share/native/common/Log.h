// The process-wide logger, its record, and the general sinks.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <string>

#include "SourceLocation.h"
#include "WinHeaders.h"
#include "tstrings.h"

enum class Severity : int {
    TRACE = 0,
    INFO = 1,
    WARNING = 2,
    ERROR = 3
};

// The name written in records: "TRACE", "INFO", "WARNING", "ERROR", or "UNKNOWN".
const wchar_t* severityName(Severity level);

struct LogRecord {
    SYSTEMTIME timestamp{};
    DWORD threadId = 0;
    DWORD processId = 0;
    const wchar_t* moduleName = nullptr; // points into the process-wide module-name buffer
    tstring levelName;
    tstring fileName;
    int line = 0;
    tstring functionName;
    tstring message;
};

// A sink. The logger does not own sinks; a sink lives as long as it stays installed.
class LogAppender {
public:
    virtual ~LogAppender() = default;
    virtual void append(const LogRecord& record) = 0;
};

class Logger {
public:
    constexpr Logger() = default;

    // The logger. Installs a full-format sink over standard output when none is installed,
    // and reads the module name on the first call.
    static Logger& global();

    bool accepts(Severity level) const { return static_cast<int>(level) >= static_cast<int>(threshold); }

    // Hands one record to the current sink; the threshold is not tested.
    void write(Severity level, const tstring& sourcePath, int line, const tstring& function, const tstring& message);
    void write(Severity level, const tstring& sourcePath, int line, const tstring& function,
               const tstrings::MessageBuilder& message);

    // Installs `appender` and returns the previous one.
    LogAppender* installAppender(LogAppender* appender);
    LogAppender* currentAppender() const { return appender; }

private:
    Severity threshold = Severity::TRACE;
    LogAppender* appender = nullptr;
};

// Writes one record at the caller's location. Call sites ask Logger::accepts first and build
// the message only when it says yes.
void logAt(Severity level, const tstrings::MessageBuilder& message,
           const SourceLocation& location = std::source_location::current());

// Write UTF-8 text to standard error or standard output and flush: to a console as UTF-16 (in
// pieces, the rest as bytes when the console refuses it), anywhere else as the bytes given.
void writeStandardError(const std::string& text);
void writeStandardOutput(const std::string& text);

// The full format, in UTF-8, without a line end: two lines per record,
// "[time, module (PID: p, TID: t), file:line (function)]" and "\tLEVEL: message".
std::string formatFullRecord(const LogRecord& record);

// Writes the full format to a narrow stream and flushes.
class StreamLogAppender : public LogAppender {
public:
    explicit StreamLogAppender(std::ostream* stream) : stream(stream) {}
    void append(const LogRecord& record) override;

private:
    std::ostream* stream;
};

// Writes the full format to a C stream and flushes; the logger's sink of last resort writes
// to standard output this way.
class FileLogAppender : public LogAppender {
public:
    explicit FileLogAppender(FILE* file) : file(file) {}
    void append(const LogRecord& record) override;

private:
    FILE* file;
};

// Passes each record to the first sink, then to the second; a null one is skipped.
class TeeLogAppender : public LogAppender {
public:
    constexpr TeeLogAppender(LogAppender* first, LogAppender* second) : first(first), second(second) {}
    void append(const LogRecord& record) override;

private:
    LogAppender* first;
    LogAppender* second;
};

class NopLogAppender : public LogAppender {
public:
    constexpr NopLogAppender() = default;
    void append(const LogRecord&) override {}
};

// "[LEVEL] file:line: message" on standard error.
class StandardLogAppender : public LogAppender {
public:
    constexpr StandardLogAppender() = default;
    void append(const LogRecord& record) override;
};

// Ignores the record and writes the last error message and a line end to standard error.
class LastErrorLogAppender : public LogAppender {
public:
    constexpr LastErrorLogAppender() = default;
    void append(const LogRecord& record) override;
};

// Chains one extra sink behind the current one for as long as it lives. The logger points
// into it, so it is neither copied nor moved.
class WithExtraLogAppender {
public:
    explicit WithExtraLogAppender(LogAppender* extra);
    virtual ~WithExtraLogAppender();
    WithExtraLogAppender(const WithExtraLogAppender&) = delete;
    WithExtraLogAppender& operator=(const WithExtraLogAppender&) = delete;

private:
    LogAppender* previous;
    TeeLogAppender tee;
};

// Writes "Entering <scope>" when made and "Exiting <scope> (entered at file:line)" when destroyed,
// the latter only when the first was accepted.
class TraceScope {
public:
    TraceScope(Logger* logger, Severity level, const tstring& sourcePath, int line, const tstring& function,
               const tstring& scopeName);
    TraceScope(Severity level, const tstring& scopeName,
               const SourceLocation& location = std::source_location::current());
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    Logger* logger;
    Severity level;
    tstring sourcePath;
    int line;
    tstring function;
    tstring scopeName;
    bool accepted;
};

namespace app {
// A copy of the process-wide last error message (UTF-8), or an empty string when none is set.
std::string lastErrorMsg();
// Points the last error message at `text` (not owned; null clears it).
void setLastErrorMsg(const std::string* text);
} // namespace app
