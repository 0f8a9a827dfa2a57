// The install's log: the verbose log the launcher asks msiexec.exe for when the arguments name
// none, kept after the run for whoever has to find out why an install failed.
#pragma once

#include <string>

#include "Log.h"
#include "WinHeaders.h"
#include "tstrings.h"

namespace InstallLog {

// Creates a new empty file in `folder` named <baseName>_<yyyymmdd>_<hhmmss>.log after the local
// time `start`, or, where that name is taken, <baseName>_<yyyymmdd>_<hhmmss>_2.log and so on, and
// returns its path. Empty, with a WARNING record that says why, when no file can be made there:
// a missing log never stops an install. Never throws.
tstring create(const tstring& folder, const tstring& baseName, const SYSTEMTIME& start) noexcept;

// Appends `text` and a line end, in UTF-8, to the existing file at `path`. Never throws; false
// when it could not.
bool appendLine(const tstring& path, const std::string& text) noexcept;

// Appends one line of the launcher's own to the log at `path`: the local time `time`, `programName`
// and `text`. Never throws; false when it could not.
bool appendRecord(const tstring& path, const SYSTEMTIME& time, const tstring& programName, const std::string& text) noexcept;

// Writes the launcher's own failure into the log of the run, once one is set: the local time,
// the launcher's file name and the last error message, on one line. Never throws.
class FailureAppender : public LogAppender {
public:
    void setLog(const tstring& path, const tstring& programName);
    void append(const LogRecord& record) override;

private:
    tstring logPath;
    tstring program;
    bool writing = false;
};

} // namespace InstallLog
