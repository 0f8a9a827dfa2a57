// What the packaging tool does: pack a package into a launcher, show what a launcher carries,
// and write the package a launcher carries back out.
#pragma once

#include <cstdio>

#include "PackOptions.h"
#include "tstrings.h"

namespace pack {

// Where the commands report: text for the user on `out`, progress on `err`. Text reaches a
// console as Unicode and anything else as UTF-8.
class Reporter {
public:
    Reporter(FILE* out, FILE* err) : out(out), err(err) {}
    void say(const tstring& line) const;
    void progress(const tstring& line) const;

private:
    static void writeLine(FILE* stream, const tstring& line);
    FILE* out;
    FILE* err;
};

// Writes `options.output`: the stub with the package, its product code, a version block that
// describes the product and the icon. The output is built beside the destination and moved
// into place only when complete; on any failure the destination is as it was and no
// temporary file remains. Throws a TervoError with a message for the user.
void packPackage(const PackOptions& options, const Reporter& reporter);

// Shows the product code, the package size and the product's name, version and manufacturer.
void inspectLauncher(const PackOptions& options, const Reporter& reporter);

// Writes the package a launcher carries to `options.output`, byte for byte.
void extractPackage(const PackOptions& options, const Reporter& reporter);

} // namespace pack
