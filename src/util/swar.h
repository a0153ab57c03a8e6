// Eight bytes at a time in one 64-bit word ("SWAR"): a load and masks with a
// high bit set in each byte that matches. The masks may also flag bytes after
// (above) a real match, never one before it, so the lowest flag is exact;
// first_flagged() finds it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvanta::swar {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = kOnes * 0x80;

// The word of the eight bytes at p, and of the four bytes at p, in the
// machine's byte order.
inline std::uint64_t load8(const void* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

inline std::uint64_t load4(const void* p) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

// Bytes below `c` (1 <= c <= 0x80), judged exactly for bytes below 0x80.
constexpr std::uint64_t bytes_below(std::uint64_t x, unsigned char c) { return (x - kOnes * c) & ~x & kHighs; }

// Bytes equal to `c`.
constexpr std::uint64_t bytes_equal(std::uint64_t x, unsigned char c) {
    const std::uint64_t y = x ^ (kOnes * c);
    return (y - kOnes) & ~y & kHighs;
}

// Index of the first flagged byte in memory order, for a non-zero mask.
// Only little-endian machines have one; the callers then scan bytewise.
inline constexpr bool kHasFirstFlagged = std::endian::native == std::endian::little;
constexpr std::size_t first_flagged(std::uint64_t mask) { return static_cast<std::size_t>(std::countr_zero(mask)) >> 3; }

// Whether every byte of `text` is below 0x80, eight at a time.
inline bool is_ascii(std::string_view text) {
    const auto* const data = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (; n - i >= 8; i += 8)
        if (load8(data + i) & kHighs) return false;
    for (; i < n; ++i)
        if (data[i] >= 0x80) return false;
    return true;
}

}  // namespace morvanta::swar
