// What a package must be for a launcher to carry it: a product code in a form the launcher can
// read, and every file inside the package.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"

namespace pack {

// The braced upper-case form of a GUID written in any form the installer accepts (braced, or
// bare with or without hyphens, in either case), exactly 38 characters; nullopt for anything else.
std::optional<std::string> canonicalGuid(std::string_view text);

// Why Windows would not take `name` (UTF-8) as a plain file name, in words that follow "name: ";
// empty when it would. A plain name has 1 to 255 UTF-16 code units, no / or \, none of
// < > : " | ? * nor control characters, does not end in a space or a period, is not . or .., and
// is not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any case, with or without an
// extension). The launcher checks the name it reads from RCDATA MSI_FILENAME by the same rules.
std::string windowsFileNameProblem(const std::string& name);

// A cabinet or a file that the package expects beside it rather than inside it.
struct ExternalPart {
    enum class Kind { Cabinet, File };
    Kind kind;
    std::string name;
};

// The package's external parts, cabinets first (by DiskId), then files (by Sequence). A cabinet
// is external unless its name starts with '#' (a stream of the package). A file is stored
// uncompressed beside the package when its attributes say so, when the package is an
// administrative image, or when neither its attributes nor the package's word count say that
// it is compressed.
std::vector<ExternalPart> findExternalParts(const PackageFacts& facts);

} // namespace pack
