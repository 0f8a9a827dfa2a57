// The Property values the packer uses, read from the package's own bytes (PackageProperties) and
// turned into UTF-8 by one rule on every system, so that the Linux and the Windows tool write the
// same launcher from the same package whatever their installer libraries would make of the bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform.h"

namespace pack {

// The UTF-8 text of a value stored in the database codepage `codepage`. ASCII stays as it is under
// every codepage. Codepage 65001 is UTF-8: each maximal ill-formed part becomes U+FFFD, and
// `replaced` is set. Codepages 0 (neutral) and 1252 are read as Windows-1252, every byte mapped
// (0x81, 0x8D, 0x8F, 0x90 and 0x9D to the C1 controls of the same value, as Windows maps them),
// whatever code page the system that packs uses. nullopt for non-ASCII bytes under any other
// codepage, which this code does not convert: the caller keeps its installer library's text.
std::optional<std::string> decodeStoredText(std::string_view bytes, std::uint32_t codepage, bool& replaced);

// Sets the five Property values of `facts` from the package's bytes, decoded by decodeStoredText,
// and lists in `facts.replacedTexts` the properties that held invalid UTF-8. A value that
// decodeStoredText leaves to the library keeps what `facts` holds. Returns false, facts unchanged,
// when the bytes are not an installer database the reader takes, with the reason in *why.
bool readPropertyTexts(const InputFile& package, PackageFacts& facts, std::string* why = nullptr);

// The one warning for a package whose Property values held invalid UTF-8, naming them; empty
// when none did.
std::string replacedTextsWarning(const PackageFacts& facts);

} // namespace pack
