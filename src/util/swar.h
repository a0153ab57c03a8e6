// Eight bytes at a time in one 64-bit word ("SWAR"): a load and masks with a
// high bit set in each byte that matches. The masks may also flag bytes after
// (above) a real match, never one before it, so the lowest flag is exact;
// first_flagged() finds it.
//
// Every word is little-endian whatever the machine: the byte at the lowest
// address is the word's low byte. So a flag's position, a shift that keeps
// the first or last bytes, and a hash of the words mean the same on x86_64,
// aarch64 and big-endian s390x; on a little-endian machine a load is one
// move, on a big-endian one a move and a byte swap.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvanta::swar {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = kOnes * 0x80;

inline constexpr bool kNativeLittle = std::endian::native == std::endian::little;
static_assert(kNativeLittle || std::endian::native == std::endian::big, "mixed-endian machines are not supported");

// Reverses the byte order of a word: the compiler's instruction where it has
// one, else shifts and masks (which compilers also turn into one).
constexpr std::uint64_t byteswap(std::uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(x);
#else
    x = ((x & 0x00ff00ff00ff00ffu) << 8) | ((x >> 8) & 0x00ff00ff00ff00ffu);
    x = ((x & 0x0000ffff0000ffffu) << 16) | ((x >> 16) & 0x0000ffff0000ffffu);
    return (x << 32) | (x >> 32);
#endif
}

constexpr std::uint32_t byteswap(std::uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap32(x);
#else
    x = ((x & 0x00ff00ffu) << 8) | ((x >> 8) & 0x00ff00ffu);
    return (x << 16) | (x >> 16);
#endif
}

// The 8 bytes at p as a little-endian word.
inline std::uint64_t load8(const void* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return kNativeLittle ? x : byteswap(x);
}

// The 4 bytes at p as a little-endian word, widened to 64 bits so that
// callers can shift it by up to 32 bits.
inline std::uint64_t load4(const void* p) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    return kNativeLittle ? x : byteswap(x);
}

// Stores a word as load8 reads it: its low byte at p.
inline void store8(void* p, std::uint64_t x) {
    if (!kNativeLittle) x = byteswap(x);
    std::memcpy(p, &x, 8);
}

// Bytes below `c` (1 <= c <= 0x80), judged exactly for bytes below 0x80.
constexpr std::uint64_t bytes_below(std::uint64_t x, unsigned char c) { return (x - kOnes * c) & ~x & kHighs; }

// Bytes equal to `c`.
constexpr std::uint64_t bytes_equal(std::uint64_t x, unsigned char c) {
    const std::uint64_t y = x ^ (kOnes * c);
    return (y - kOnes) & ~y & kHighs;
}

// Index of the first flagged byte in memory order, for a non-zero mask of a
// word from load8.
constexpr std::size_t first_flagged(std::uint64_t mask) { return static_cast<std::size_t>(std::countr_zero(mask)) >> 3; }

// Whether every byte of `text` is below 0x80, eight at a time. The bytes
// are ORed together with no early exit: a text is short, and a loop whose
// last words, and whose tail, end in no branch of their own costs no
// misprediction where the texts' lengths vary. From eight bytes on the last
// word overlaps the ones before it; below, two words of four or single
// bytes cover the text.
inline bool is_ascii(std::string_view text) {
    const auto* const data = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t any;
    if (n >= 8) {
        any = load8(data + n - 8);
        for (std::size_t i = 0; i + 8 < n; i += 8) any |= load8(data + i);
    } else if (n >= 4) {
        any = load4(data) | load4(data + n - 4);
    } else {
        any = 0;
        for (std::size_t i = 0; i < n; ++i) any |= data[i];
    }
    return (any & kHighs) == 0;
}

}  // namespace morvanta::swar
