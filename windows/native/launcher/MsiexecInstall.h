// msiexec.exe run for the install: its command line, and the line that reports its failure.
#pragma once

#include "Executor.h"
#include "tstrings.h"

// msiexec /i <package> <arguments as typed> [/l*v <log>], for the system directory's msiexec.exe.
// Arguments that end inside an open quote have it closed before the log, which changes none of
// their values. A `log` that would push the line over the system's limit is left out rather than
// failing the install: the file is removed and `log` emptied, with a WARNING record.
Executor msiexecInstall(const tstring& packagePath, const tstring& arguments, tstring& log);

// Writes one line on standard error for whoever started the run: "<program>: msiexec.exe ended with
// status <status> (<the installer's description>). Log: <log made absolute>", without the last
// part when there is no log. Never throws.
void reportMsiexecFailure(int status, const tstring& log, const tstring& programName) noexcept;
