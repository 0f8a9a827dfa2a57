#include "Log.h"

#include <algorithm>

#include "ErrorHandling.h"
#include "PathUtils.h"
#include "SysInfo.h"

namespace {

constinit Logger logger;

// Name of the module that holds the program's code, shown in every full-format record.
wchar_t moduleName[260] = L"Unknown";
enum ModuleNameState { NotStarted, InProgress, Done };
ModuleNameState moduleNameState = NotStarted;

void readModuleName() {
    tstring name;
    try {
        name = FileUtils::leafName(SysInfo::getCurrentModulePath());
    } catch (const std::runtime_error&) {
        name = L"Unknown";
    }
    const size_t length = std::min(name.size(), std::size(moduleName) - 1);
    name.copy(moduleName, length);
    moduleName[length] = L'\0';
}

const std::string* lastErrorMessage = nullptr;

// Console writes are made in pieces of at most this many UTF-16 units: older consoles refuse a
// single write larger than their 64 KB buffer.
constexpr size_t consolePiece = 8192;

// Writes what it can of `text` to the console `handle`; returns how many units went out.
size_t writeConsole(HANDLE handle, const tstring& text) {
    size_t done = 0;
    while (done < text.size()) {
        size_t count = std::min(consolePiece, text.size() - done);
        // Never a lone half of a surrogate pair at the end of a piece.
        if (done + count < text.size() && text[done + count - 1] >= 0xD800 && text[done + count - 1] <= 0xDBFF) {
            --count;
        }
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data() + done, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            break;
        }
        done += written;
    }
    return done;
}

// Writes UTF-8 text to a standard stream and flushes. A console gets it as UTF-16, so that every
// character shows right whatever the console's code page, which stays as the parent set it;
// what the console refuses goes to the byte stream instead.
void writeStandardStream(DWORD stream, FILE* file, const std::string& text) {
    const HANDLE handle = GetStdHandle(stream);
    DWORD mode = 0;
    std::string bytes = text;
    if (GetConsoleMode(handle, &mode)) {
        std::fflush(file);
        const tstring wide = tstrings::replaceAll(tstrings::decodeUtf8OrWiden(text), L"\n", L"\r\n");
        const size_t written = writeConsole(handle, wide);
        if (written == wide.size()) {
            return;
        }
        // The C stream adds its own carriage returns.
        bytes = tstrings::encodeUtf8(tstrings::replaceAll(wide.substr(written), L"\r\n", L"\n"));
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
}

} // namespace

void writeStandardError(const std::string& text) { writeStandardStream(STD_ERROR_HANDLE, stderr, text); }

void writeStandardOutput(const std::string& text) { writeStandardStream(STD_OUTPUT_HANDLE, stdout, text); }

const wchar_t* severityName(Severity level) {
    switch (level) {
    case Severity::TRACE:
        return L"TRACE";
    case Severity::INFO:
        return L"INFO";
    case Severity::WARNING:
        return L"WARNING";
    case Severity::ERROR:
        return L"ERROR";
    }
    return L"UNKNOWN";
}

Logger& Logger::global() {
    if (!logger.appender) {
        // Never freed: records may be written until the very end of the process.
        logger.appender = new FileLogAppender(stdout);
    }
    if (moduleNameState == NotStarted) {
        moduleNameState = InProgress;
        readModuleName();
        moduleNameState = Done;
    } else if (moduleNameState == InProgress) {
        // A record written from inside the name lookup shows no module name.
        moduleName[0] = L'\0';
    }
    return logger;
}

void Logger::write(Severity level, const tstring& sourcePath, int line, const tstring& function,
                   const tstring& message) {
    LogRecord record;
    GetLocalTime(&record.timestamp);
    record.threadId = GetCurrentThreadId();
    record.processId = GetCurrentProcessId();
    record.moduleName = moduleName;
    record.fileName = FileUtils::leafName(sourcePath);
    record.functionName = function;
    record.levelName = severityName(level);
    record.line = line;
    record.message = message;
    appender->append(record);
}

void Logger::write(Severity level, const tstring& sourcePath, int line, const tstring& function,
                   const tstrings::MessageBuilder& message) {
    write(level, sourcePath, line, function, message.str());
}

LogAppender* Logger::installAppender(LogAppender* newAppender) {
    LogAppender* previous = appender;
    appender = newAppender;
    return previous;
}

void logAt(Severity level, const tstrings::MessageBuilder& message, const SourceLocation& location) {
    Logger::global().write(level, tstrings::decodeUtf8(location.file ? location.file : ""), location.line,
                           tstrings::decodeUtf8(location.function ? location.function : ""), message.str());
}

std::string formatFullRecord(const LogRecord& record) {
    const SYSTEMTIME& t = record.timestamp;
    const tstring header = tstrings::formatPrintf(
        L"%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), ", t.wYear, t.wMonth, t.wDay, t.wHour,
        t.wMinute, t.wSecond, t.wMilliseconds, record.moduleName ? record.moduleName : L"", record.processId,
        record.threadId);
    return (tstrings::MessageBuilder() << L"[" << header << record.fileName << L":" << record.line << L" ("
                                       << record.functionName << L")" << L"]" << L"\n" << L"\t" << record.levelName
                                       << L": " << record.message)
        .utf8();
}

void FileLogAppender::append(const LogRecord& record) {
    const std::string text = formatFullRecord(record) + "\n";
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

void TeeLogAppender::append(const LogRecord& record) {
    if (first) {
        first->append(record);
    }
    if (second) {
        second->append(record);
    }
}

void StandardLogAppender::append(const LogRecord& record) {
    const std::string text = (tstrings::MessageBuilder() << "[" << record.levelName << "] " << record.fileName << ":"
                                                         << record.line << ": " << record.message << "\n")
                                 .utf8();
    writeStandardError(text);
}

void LastErrorLogAppender::append(const LogRecord&) {
    // The text may hold names that whoever made the launcher chose: shown, never obeyed, by a terminal.
    writeStandardError(tstrings::encodeUtf8(tstrings::printable(tstrings::decodeUtf8OrWiden(app::lastErrorMsg()))) + "\n");
}

WithExtraLogAppender::WithExtraLogAppender(LogAppender* extra)
    : previous(Logger::global().currentAppender()), tee(previous, extra) {
    Logger::global().installAppender(&tee);
}

WithExtraLogAppender::~WithExtraLogAppender() { Logger::global().installAppender(previous); }

TraceScope::TraceScope(Logger* logger, Severity level, const tstring& sourcePath, int line, const tstring& function,
                       const tstring& scopeName)
    : logger(logger), level(level), sourcePath(sourcePath), line(line), function(function), scopeName(scopeName),
      accepted(logger->accepts(level)) {
    if (accepted) {
        logger->write(level, sourcePath, line, function, L"Entering " + scopeName);
    }
}

TraceScope::TraceScope(Severity level, const tstring& scopeName, const SourceLocation& location)
    : TraceScope(&Logger::global(), level, tstrings::decodeUtf8(location.file ? location.file : ""), location.line,
                 tstrings::decodeUtf8(location.function ? location.function : ""), scopeName) {}

TraceScope::~TraceScope() {
    if (!accepted) {
        return;
    }
    runReporting([this] {
        logger->write(level, sourcePath, 0, function,
                      tstrings::MessageBuilder() << "Exiting " << scopeName << " (entered at "
                                                 << FileUtils::leafName(sourcePath) << ":" << line << ")");
    });
}

namespace app {

std::string lastErrorMsg() { return lastErrorMessage ? *lastErrorMessage : std::string(); }

void setLastErrorMsg(const std::string* text) { lastErrorMessage = text; }

} // namespace app
