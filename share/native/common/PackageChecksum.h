// The checksum a launcher carries for its package: XXH64 (seed 0) over the package's bytes,
// stored as the RCDATA resource MSI_CHECKSUM in the text form "XXH64:" followed by 16
// lower-case hexadecimal digits (22 bytes, no terminator). It detects damage, not tampering.
// Plain portable C++: the packaging tool computes it on Linux and Windows alike, the launcher
// checks it while it writes the package out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace PackageChecksum {

// The resource's name and the algorithm's name in its text.
inline constexpr const wchar_t* resourceName = L"MSI_CHECKSUM";
inline constexpr std::string_view algorithmName = "XXH64";
// Length of the text form: "XXH64:" and 16 digits.
inline constexpr std::size_t textLength = 22;

// XXH64 with seed 0, fed in pieces of any size; the value does not depend on how the data is cut.
class Xxh64 {
public:
    Xxh64();
    void update(const void* data, std::size_t size);
    // The hash of everything fed so far; more data may follow.
    std::uint64_t digest() const;

private:
    std::uint64_t lanes[4];
    unsigned char pending[32];
    std::size_t pendingSize = 0;
    std::uint64_t totalSize = 0;
};

std::uint64_t xxh64(const void* data, std::size_t size);

// "XXH64:" and the value as 16 lower-case hexadecimal digits.
std::string formatText(std::uint64_t value);
// The value of a text made by formatText (hexadecimal digits of either case); nullopt for any
// other text: another algorithm, a wrong length, a character that is not a digit.
std::optional<std::uint64_t> parseText(std::string_view text);

} // namespace PackageChecksum
