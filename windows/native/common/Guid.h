// A GUID value: parsed from and printed in the textual forms the installer uses.
#pragma once

#include <compare>
#include <string>

#include "WinHeaders.h"
#include "tstrings.h"

class Guid {
public:
    // Printing flags, combinable with |. Without any: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
    enum FormatFlags : int {
        formatNoBraces = 1,
        formatNoHyphens = 2,
        formatLowercase = 4
    };

    // The all-zero GUID.
    Guid();
    Guid(const GUID& value);
    // Accepts the braced form, and the unbraced forms with or without hyphens, in either case.
    // Throws when the text is none of them.
    explicit Guid(const tstring& text);
    // As above; each byte of the text is one character.
    explicit Guid(const std::string& text);

    tstring toString(int flags = 0) const;
    const GUID& value() const { return guid; }

    // A new random GUID; throws when the system cannot make one.
    static Guid generate();

    // Equal when the 16 bytes are; ordered by the default text, not by the bytes.
    bool operator==(const Guid& other) const;
    std::strong_ordering operator<=>(const Guid& other) const;

private:
    GUID guid;
};
