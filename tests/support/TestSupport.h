// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Log.h"
#include "WinHeaders.h"
#include "tstrings.h"

// Keeps every record it receives.
class CapturingAppender : public LogAppender {
public:
    void append(const LogRecord& record) override { records.push_back(record); }
    // The messages of the records at `level`.
    std::vector<tstring> messages(Severity level) const;
    std::vector<LogRecord> records;
};

// Installs an appender on the process logger for the life of the object.
class ScopedAppender {
public:
    explicit ScopedAppender(LogAppender* appender) : previous(Logger::global().installAppender(appender)) {}
    ~ScopedAppender() { Logger::global().installAppender(previous); }
    ScopedAppender(const ScopedAppender&) = delete;
    ScopedAppender& operator=(const ScopedAppender&) = delete;

private:
    LogAppender* previous;
};

// "<code>: <system text>", for assertion messages.
std::string describeWinError(DWORD code);

// The message, without location, of the TervoError that `body` throws; the location must name
// `function`. Records a failure when nothing, or something else, is thrown.
std::string thrownPlainMessage(const std::function<void()>& body, const std::string& function);

// A fixture that owns a new, empty directory below the temporary directory, removed afterwards.
// The clean-up uses the plain system calls, not the code under test.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Path of a name inside the directory.
    tstring pathOf(const tstring& name) const { return dir + L"\\" + name; }
    void writeFile(const tstring& path, const std::string& bytes) const;
    std::string readFile(const tstring& path) const;
    bool exists(const tstring& path) const { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
    // Names of the directory's entries, sorted.
    std::vector<tstring> listDir(const tstring& path) const;
    // The same without the install logs (*.log) that launchers keep in their temporary folder.
    std::vector<tstring> listDirExceptLogs(const tstring& path) const;

    tstring dir;
};

// Removes a tree with the plain system calls; true when it is gone.
bool removeTreeForTest(const tstring& path);

// Full 32-bit exit code and the standard error of a program run to its end.
struct ProcessResult {
    DWORD exitCode = 0;
    std::string standardError;
    std::string standardOutput;
};

// Runs `commandLine` (program path first) with the extra environment variables set (NAME=value;
// an entry "NAME=" removes the variable) and collects its output. A run that failed because Wine
// refused the start of its own child with error 1359 (now and then, under load) is run once more.
ProcessResult runProcess(const tstring& commandLine, const std::vector<tstring>& environment = {});

// A program that a test starts and drives while it runs: created suspended or running, with the
// environment changes of runProcess. Standard output is collected on a thread of its own, and so is
// standard error unless the test reads it itself with readErrorLine: that pipe then holds a single
// byte, so the program stalls on its next write to standard error until the test reads on.
// A program still running when the object goes is terminated.
class ChildProcess {
public:
    enum class ErrorStream { Collected, ReadByTest };

    explicit ChildProcess(const tstring& commandLine, const std::vector<tstring>& environment = {},
                          bool suspended = false, ErrorStream errors = ErrorStream::Collected);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process != nullptr; }
    void resume();
    // The next line of standard error without its line end, or nullopt at the end of the stream.
    std::optional<std::string> readErrorLine();
    void terminate(UINT exitCode);
    // Waits for the program's end; standardError holds what readErrorLine did not return.
    ProcessResult finish();

private:
    class PipeReader;

    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    HANDLE errorPipe = nullptr;
    std::string pendingError;
    std::unique_ptr<PipeReader> errorReader;
    std::unique_ptr<PipeReader> outputReader;
};

// The text in double quotes, as one element of a command line.
inline tstring inQuotes(const tstring& text) { return L"\"" + text + L"\""; }

// The lines of a program's output, without their line ends (LF or CR LF).
std::vector<std::string> outputLines(const std::string& text);

// Directory of the running test program.
tstring testProgramDir();

