// msiexec.exe run for the launcher: its command line, and the line that reports its failure.
#pragma once

#include "Executor.h"
#include "tstrings.h"

// msiexec <verb> <target> <arguments as typed> [/l*v <log>], for the system directory's
// msiexec.exe; `target` is written for msiexec already (a package path quoted where it needs it,
// a product code). Arguments that end inside an open quote have it closed before the log, which
// changes none of their values. A `log` that would push the line over the system's limit is left
// out rather than failing the run: the file is removed and `log` emptied, with a WARNING record.
// A line over the limit even without it fails when it is started, with a message that counts what
// was typed and what the launcher adds.
Executor msiexecCommand(const tstring& verb, const tstring& target, const tstring& arguments, tstring& log);

// Starts `msiexec` and waits for its end, loading the installer's library meanwhile for what
// comes after. A start that the system refuses is reported in plain words (the program and the
// reason) instead of the system call and its whole line, which stays in the debug log.
int runMsiexec(Executor msiexec);

// Writes one line on standard error for whoever started the run: "<program>: msiexec.exe ended with
// status <status> (<the installer's description>). Log: <log made absolute>" when the log exists as
// a file after the run, else "... msiexec.exe wrote no log at <path>" for a log it was asked for.
// Never throws.
void reportMsiexecFailure(int status, const tstring& log, const tstring& programName) noexcept;
