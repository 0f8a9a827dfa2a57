// UTF-8 and UTF-16, converted without the system: text in the packer is UTF-8, and UTF-16 only
// where the PE format stores it (resource names, the version block).
#pragma once

#include <string>
#include <string_view>

namespace pack {

// Malformed input never throws: each maximal ill-formed part of a UTF-8 sequence (a stray
// continuation byte, a truncated, overlong or surrogate sequence, a code point past U+10FFFF) and
// each unpaired surrogate becomes U+FFFD.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

} // namespace pack
