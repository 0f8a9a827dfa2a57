#include "app.h"

#include <memory>

#include "ErrorHandling.h"
#include "SysInfo.h"

namespace {

constinit NopLogAppender nopLogAppender;
constinit StandardLogAppender standardLogAppender;
constinit LastErrorLogAppender lastErrorAppender;

bool dialogs = true;

// Attaches the last-error sink when the guarded block ends, before any handler runs.
class SetLoggerAtEndOfScope {
public:
    SetLoggerAtEndOfScope(std::unique_ptr<WithExtraLogAppender>& slot, LogAppender* appender)
        : slot(slot), appender(appender) {}
    ~SetLoggerAtEndOfScope() {
        runReporting([this] { slot = std::make_unique<WithExtraLogAppender>(appender); });
    }
    SetLoggerAtEndOfScope(const SetLoggerAtEndOfScope&) = delete;
    SetLoggerAtEndOfScope& operator=(const SetLoggerAtEndOfScope&) = delete;

private:
    std::unique_ptr<WithExtraLogAppender>& slot;
    LogAppender* appender;
};

class ResetLastErrorMsgAtEndOfScope {
public:
    ResetLastErrorMsgAtEndOfScope() = default;
    ~ResetLastErrorMsgAtEndOfScope() { app::setLastErrorMsg(nullptr); }
    ResetLastErrorMsgAtEndOfScope(const ResetLastErrorMsgAtEndOfScope&) = delete;
    ResetLastErrorMsgAtEndOfScope& operator=(const ResetLastErrorMsgAtEndOfScope&) = delete;
};

// Reports without letting a failure of the report itself escape the frame.
template <class Report>
void reportQuietly(Report&& report) noexcept {
    try {
        report();
    } catch (...) {
    }
}

} // namespace

namespace app {

bool isDebugMode() { return SysInfo::getEnvVariable(std::nothrow, L"TERVO_DEBUG", tstring()) == L"true"; }

LogAppender* lastErrorLogAppender() { return &lastErrorAppender; }

void setDialogsAllowed(bool allowed) { dialogs = allowed; }

bool dialogsAllowed() { return dialogs; }

int launch(const std::nothrow_t&, LauncherFunc func, LogAppender* lastErrorSink) {
    const SourceLocation here;
    try {
        Logger::global().installAppender(isDebugMode() ? static_cast<LogAppender*>(&standardLogAppender)
                                                       : &nopLogAppender);
        TraceScope trace(Severity::TRACE, L"app::launch");
        if (!lastErrorSink) {
            lastErrorSink = lastErrorLogAppender();
        }

        std::unique_ptr<WithExtraLogAppender> withLastErrorSink;
        std::string lastErrorText;
        ResetLastErrorMsgAtEndOfScope resetLastErrorMsg;
        try {
            SetLoggerAtEndOfScope attachLastErrorSink(withLastErrorSink, lastErrorSink);
            func();
            return 0;
        } catch (const TervoErrorBase& e) {
            // The plain message is UTF-8; re-encoding it keeps non-ASCII text intact in the box.
            lastErrorText = tstrings::encodeUtf8(tstrings::decodeUtf8OrWiden(e.plainMessage()));
            setLastErrorMsg(&lastErrorText);
            reportQuietly([&] {
                try {
                    throw;
                } catch (const std::runtime_error& error) {
                    reportException(here, error);
                } catch (...) {
                    reportUnknownException(here);
                }
            });
        } catch (const std::runtime_error& e) {
            lastErrorText = lastCrtErrorText();
            setLastErrorMsg(&lastErrorText);
            reportQuietly([&] { reportException(here, e); });
        } catch (...) {
            lastErrorText = "Unknown error";
            setLastErrorMsg(&lastErrorText);
            reportQuietly([&] { reportUnknownException(here); });
        }
        return 1;
    } catch (...) {
        // Only the frame's own set-up can get here (memory exhaustion); there is nothing left to report with.
        return 1;
    }
}

} // namespace app
