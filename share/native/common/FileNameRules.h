// The rules by which Windows takes a text as one file name in a folder, shared by the packer, which
// records a package's name, and the launcher, which writes the package under it. Portable.
#pragma once

#include <string>

// Whether Windows forbids the character anywhere in a file name: < > : " / \ | ? * and control characters.
bool isForbiddenInFileName(char16_t c);

// Why Windows would not take `name` as a plain file name, in words ("it holds a path separator");
// empty when it would: 1 to 255 UTF-16 units, no forbidden character, not ending in a space or a
// period (which Windows drops), not . or .., and not a device name (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, in any case, with or without an extension).
std::string fileNameProblem(const std::u16string& name);
