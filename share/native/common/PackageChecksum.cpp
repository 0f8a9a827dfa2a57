#include "PackageChecksum.h"

#include <bit>
#include <cstring>

namespace PackageChecksum {

namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t prime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t prime5 = 0x27D4EB2F165667C5ULL;

constexpr std::uint64_t rotl(std::uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// Little-endian whatever the host: the value must be the same on every system. On a
// little-endian host this is one plain load.
template <class T>
T loadLittleEndian(const unsigned char* p) {
    T value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, p, sizeof value);
    } else {
        for (int i = sizeof(T) - 1; i >= 0; --i) {
            value = static_cast<T>(value << 8 | p[i]);
        }
    }
    return value;
}

std::uint64_t load64(const unsigned char* p) { return loadLittleEndian<std::uint64_t>(p); }
std::uint32_t load32(const unsigned char* p) { return loadLittleEndian<std::uint32_t>(p); }

std::uint64_t round(std::uint64_t lane, std::uint64_t input) { return rotl(lane + input * prime2, 31) * prime1; }

std::uint64_t mergeRound(std::uint64_t hash, std::uint64_t lane) { return (hash ^ round(0, lane)) * prime1 + prime4; }

// Feeds whole 32-byte stripes; returns the bytes consumed.
std::size_t consumeStripes(std::uint64_t (&lanes)[4], const unsigned char* data, std::size_t size) {
    std::uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
    const unsigned char* p = data;
    for (const unsigned char* end = data + size / 32 * 32; p != end; p += 32) {
        a = round(a, load64(p));
        b = round(b, load64(p + 8));
        c = round(c, load64(p + 16));
        d = round(d, load64(p + 24));
    }
    lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
    return static_cast<std::size_t>(p - data);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

Xxh64::Xxh64() : lanes{prime1 + prime2, prime2, 0, 0 - prime1}, pending{} {}

void Xxh64::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    totalSize += size;
    if (pendingSize > 0) {
        const std::size_t take = size < 32 - pendingSize ? size : 32 - pendingSize;
        std::memcpy(pending + pendingSize, bytes, take);
        pendingSize += take;
        bytes += take;
        size -= take;
        if (pendingSize < 32) {
            return;
        }
        consumeStripes(lanes, pending, 32);
        pendingSize = 0;
    }
    const std::size_t consumed = consumeStripes(lanes, bytes, size);
    std::memcpy(pending, bytes + consumed, size - consumed);
    pendingSize = size - consumed;
}

std::uint64_t Xxh64::digest() const {
    std::uint64_t hash = 0;
    if (totalSize >= 32) {
        hash = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18);
        for (const std::uint64_t lane : lanes) {
            hash = mergeRound(hash, lane);
        }
    } else {
        hash = lanes[2] + prime5; // the seed, 0
    }
    hash += totalSize;

    const unsigned char* p = pending;
    std::size_t left = pendingSize;
    for (; left >= 8; p += 8, left -= 8) {
        hash = rotl(hash ^ round(0, load64(p)), 27) * prime1 + prime4;
    }
    if (left >= 4) {
        hash = rotl(hash ^ (load32(p) * prime1), 23) * prime2 + prime3;
        p += 4;
        left -= 4;
    }
    for (; left > 0; ++p, --left) {
        hash = rotl(hash ^ (*p * prime5), 11) * prime1;
    }
    hash ^= hash >> 33;
    hash *= prime2;
    hash ^= hash >> 29;
    hash *= prime3;
    hash ^= hash >> 32;
    return hash;
}

std::uint64_t xxh64(const void* data, std::size_t size) {
    Xxh64 hasher;
    hasher.update(data, size);
    return hasher.digest();
}

std::string formatText(std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(algorithmName);
    text += ':';
    for (int shift = 60; shift >= 0; shift -= 4) {
        text += digits[(value >> shift) & 0xF];
    }
    return text;
}

std::optional<std::uint64_t> parseText(std::string_view text) {
    if (text.size() != textLength || text.substr(0, algorithmName.size()) != algorithmName ||
        text[algorithmName.size()] != ':') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text.substr(algorithmName.size() + 1)) {
        const int digit = hexValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return value;
}

} // namespace PackageChecksum
