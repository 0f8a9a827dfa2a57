// The package checksum against values printed by the reference tool (xxhsum -H1).
#include <gtest/gtest.h>

#include <string>

#include "PackageChecksum.h"

using namespace PackageChecksum;

namespace {

// 1000 bytes (i * 7 + 3) mod 256: stripes, a tail of every kind, bytes above 0x7F.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    }
    return bytes;
}

} // namespace

TEST(PackageChecksum, MatchesReferenceValuesWhateverTheCut) {
    const struct {
        std::string data;
        uint64_t expected;
    } cases[] = {
        {"", 0xef46db3751d8e999}, {"a", 0xd24ec4f1a98c6e5b}, {"abc", 0x44bc2cf5ad770999},
        {"Nobody inspects the spammish repetition", 0xfbcea83c8a378bf1},
        {pattern(31), 0xa2aa5f33cc4a6119}, {pattern(32), 0x23c3c17ef790fd97},
        {pattern(36), 0xc0b52b0dcc5e3f7f}, {pattern(1000), 0x5f235fa033f1a3fb},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, xxh64(c.data.data(), c.data.size())) << c.data.size() << " bytes";
        // Pieces that straddle the 32-byte stripes in every way, and empty pieces between them.
        for (const size_t step : {1, 5, 31, 33, 64}) {
            Xxh64 hasher;
            for (size_t at = 0; at < c.data.size(); at += step) {
                hasher.update(c.data.data() + at, std::min(step, c.data.size() - at));
                hasher.update(c.data.data(), 0);
            }
            EXPECT_EQ(c.expected, hasher.digest()) << c.data.size() << " bytes in pieces of " << step;
        }
    }
}

TEST(PackageChecksum, TextFormRoundTripsAndRefusesAnythingElse) {
    EXPECT_EQ("XXH64:0123456789abcdef", formatText(0x0123456789abcdef));
    EXPECT_EQ("XXH64:0000000000000000", formatText(0));
    EXPECT_EQ(0xfedcba9876543210, parseText("XXH64:FEDCBA9876543210"));
    EXPECT_EQ(0xef46db3751d8e999, parseText(formatText(0xef46db3751d8e999)));
    for (const char* bad : {"", "XXH64:", "XXH64:0123456789abcde", "XXH64:0123456789abcdef0", "xxh64:0123456789abcdef",
                            "CRC32:0123456789abcdef", "XXH64-0123456789abcdef", "XXH64:0123456789abcdeg",
                            "XXH64: 123456789abcdef"}) {
        EXPECT_FALSE(parseText(bad).has_value()) << bad;
    }
}
