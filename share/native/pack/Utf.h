// UTF-8 and UTF-16, converted without the system: text in the packer is UTF-8, and UTF-16 only
// where the PE format stores it (resource names, the version block).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pack {

// Malformed input never throws: each maximal ill-formed part of a UTF-8 sequence (a stray
// continuation byte, a truncated, overlong or surrogate sequence, a code point past U+10FFFF) and
// each unpaired surrogate becomes U+FFFD.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

// The code point of the UTF-8 sequence that starts at `at`, moving `at` past it; nullopt for a
// maximal ill-formed part of a sequence, which `at` is moved past all the same. `at` must be
// inside the text.
std::optional<char32_t> nextCodePoint(std::string_view text, size_t& at);

// True for the characters that a terminal does not show as themselves: the C0 and C1 controls and
// DEL, which can move the cursor or change the screen, and the formatting characters that reorder
// or hide text (bidirectional embeddings, overrides and isolates, marks, zero-width characters,
// the byte order mark, line and paragraph separators, tags).
bool isHiddenCharacter(char32_t c);

// Text from a file, which anyone may have made, as a terminal is to show it: each hidden
// character becomes a visible escape (a tab \t, others below U+0080 \x1b, the rest \u202e or
// \U000e0041), and each byte of malformed UTF-8 \xff. Everything else is kept.
std::string printable(std::string_view text);

} // namespace pack
