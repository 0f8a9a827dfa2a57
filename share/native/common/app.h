// The launch frame: runs a driver inside one catch-all and turns its outcome into a report
// the user can see.
#pragma once

#include <new>
#include <string>

#include "Log.h"

namespace app {

// The driver: reports failure only by throwing.
typedef void (*LauncherFunc)();

// Windows layer: a console in debug mode, and the error box behind the standard-error report.
// `failureSink`, when given, receives the failure report between the two. The box is shown only
// where a person can answer it: dialogs are allowed and the process is in an interactive session.
// Returns what launch returns; never throws.
int wlaunch(const std::nothrow_t&, LauncherFunc func, LogAppender* failureSink = nullptr);

// Whether the run may show a dialog that waits for a person; the driver clears it for a run that
// asked for none, before anything can fail. True until set.
void setDialogsAllowed(bool allowed);
bool dialogsAllowed();

// Installs the log sink, runs `func` and reports anything it throws through the last-error
// sink (app::lastErrorLogAppender when null). Returns 0 when `func` returned, 1 when it threw;
// never throws.
int launch(const std::nothrow_t&, LauncherFunc func, LogAppender* lastErrorLogAppender = nullptr);

// True when the environment variable TERVO_DEBUG is exactly "true".
bool isDebugMode();

// The process-wide sink that writes the last error message to standard error.
LogAppender* lastErrorLogAppender();

// std::ios_base::sync_with_stdio(true), called by the debug console after it has reopened or
// closed the C standard streams. The unit that brings in the standard iostreams sets it, so
// programs that do not use them do not link them for the console's sake; null in those.
inline void (*syncStandardStreams)() = nullptr;

} // namespace app
