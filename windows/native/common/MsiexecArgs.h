// msiexec.exe's command-line syntax: reading a line as msiexec reads it, and writing an
// argument so that msiexec reads it back unchanged.
#pragma once

#include <vector>

#include "tstrings.h"

namespace msi {

// One token of a command line: its text as it was typed, where that starts in the line, and the
// value msiexec reads from it.
struct CommandLineToken {
    tstring text;
    tstring value;
    size_t offset = 0;
};

// Splits `line` by msiexec's rules, not the C runtime's:
// - outside double quotes, blanks and tabs end a token;
// - a double quote opens or closes a quoted stretch, which may start anywhere in a token
//   (NAME="a b"); inside one, two double quotes in a row stand for one double quote of the value;
// - a backslash is an ordinary character everywhere, before a quote too.
// A quote left open runs to the end of the line. Joining the tokens' texts with single blanks
// gives a line that splits into the same values.
std::vector<CommandLineToken> splitCommandLine(const tstring& line);

// `line` with a double quote added where it ends inside a quoted stretch, so that more can follow
// it: the values it splits into stay the same.
tstring closeOpenQuote(const tstring& line);

// `line` without the tokens of `tokens` (split from it) whose indexes `removed` lists in
// ascending order, each with the blanks and tabs that follow it (or, at the end of the line, those
// before it); the rest stays exactly as typed.
tstring removeTokens(const tstring& line, const std::vector<CommandLineToken>& tokens,
                     const std::vector<size_t>& removed);

// What follows the program name on a process's command line, by Windows' rule for the first
// token: a name that starts with a double quote ends at the next one, any other at the first
// blank or tab. The blanks and tabs after the name are dropped; the rest stays as typed.
tstring commandLineTail(const tstring& commandLine);

// The form of `arg` that msiexec reads back as exactly one token holding exactly `arg`: as it
// is when it holds no blank, tab, other white space or double quote and is not empty; else a
// property (NAME=value) with its value quoted, any other argument quoted as a whole, every
// double quote inside doubled (TAG="say ""hi"" there", NAME="", "C:\My App\").
tstring encodeMsiexecArg(const tstring& arg);

} // namespace msi
