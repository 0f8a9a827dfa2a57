// Arguments for msiexec.exe, written so that msiexec reads back exactly the text given.
#pragma once

#include "tstrings.h"

namespace msi {

// The form of `arg` that msiexec.exe reads back as exactly one token holding exactly `arg`.
// msiexec splits its command line by its own rules, not the C runtime's:
// - outside double quotes, blanks and tabs end a token;
// - a double quote opens or closes a quoted stretch, in which blanks belong to the token; inside
//   one, two double quotes in a row stand for one double quote of the text;
// - quotes are not part of the token, and a backslash is an ordinary character, before a quote too.
// A property is given as NAME=value with the value quoted as a whole (TAG="say ""hi"" there",
// NAME="" for an empty one); other arguments (switches, paths) are quoted as a whole when they hold
// white space. Those have no escape for a double quote: such an argument throws
// TervoError<std::runtime_error> naming it, since msiexec would read something else.
tstring encodeMsiexecArg(const tstring& arg);

} // namespace msi
