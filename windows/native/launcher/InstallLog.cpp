#include "InstallLog.h"

#include "ErrorHandling.h"
#include "PathUtils.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"
#include "app.h"

namespace InstallLog {

namespace {

// More launchers than this starting within one second of each other are not expected.
constexpr int maxAttempts = 1000;

// Whether CreateFileW failed because something already has the name: a file, or a folder
// (which Windows reports as access denied).
bool nameTaken(const tstring& path, DWORD error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
           (error == ERROR_ACCESS_DENIED && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);
}

// The number with at least `width` digits, zeros in front.
tstring padded(unsigned value, size_t width) {
    tstring digits = (tstrings::MessageBuilder() << value).str();
    return tstring(width > digits.size() ? width - digits.size() : 0, L'0') + digits;
}

} // namespace

tstring create(const tstring& folder, const tstring& baseName, const SYSTEMTIME& start) noexcept {
    tstring created;
    runReporting([&] {
        const tstring stem =
            FileUtils::joinPath(folder, baseName + L"_" + padded(start.wYear, 4) + padded(start.wMonth, 2) +
                                            padded(start.wDay, 2) + L"_" + padded(start.wHour, 2) +
                                            padded(start.wMinute, 2) + padded(start.wSecond, 2));
        DWORD error = ERROR_SUCCESS;
        tstring path;
        for (int attempt = 1; attempt <= maxAttempts; ++attempt) {
            path = attempt == 1 ? stem + L".log" : stem + L"_" + padded(attempt, 1) + L".log";
            const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) {
                created = path;
                if (Logger::global().accepts(Severity::TRACE)) {
                    logAt(Severity::TRACE, tstrings::MessageBuilder() << "Created [" << path << "] file");
                }
                return;
            }
            error = GetLastError();
            if (!nameTaken(path, error)) {
                break;
            }
        }
        if (Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING, tstrings::MessageBuilder()
                                         << "No install log: CreateFile(" << path << ") failed with "
                                         << systemErrorText(error) << "; msiexec.exe runs without one");
        }
    });
    return created;
}

bool appendLine(const tstring& path, const std::string& text) noexcept {
    const UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    const std::string line = text + "\r\n";
    DWORD written = 0;
    return WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

bool appendRecord(const tstring& path, const SYSTEMTIME& t, const tstring& programName, const std::string& text) noexcept {
    bool written = false;
    runReporting([&] {
        const tstring time = padded(t.wYear, 4) + L"-" + padded(t.wMonth, 2) + L"-" + padded(t.wDay, 2) + L" " +
                             padded(t.wHour, 2) + L":" + padded(t.wMinute, 2) + L":" + padded(t.wSecond, 2);
        written = appendLine(path, tstrings::encodeUtf8(time + L" " + programName + L": ") + text);
    });
    return written;
}

void FailureAppender::setLog(const tstring& path, const tstring& programName) {
    logPath = path;
    program = programName;
}

void FailureAppender::append(const LogRecord& record) {
    // A failure reported from in here reaches this sink again through the logger.
    if (logPath.empty() || writing) {
        return;
    }
    writing = true;
    appendRecord(logPath, record.timestamp, program, app::lastErrorMsg());
    writing = false;
}

} // namespace InstallLog
