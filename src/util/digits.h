// Unsigned integers as decimal digits: the one writer of integer text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "util/pow10.h"

namespace morvanta::digits {

// "00" "01" ... "99": two digits per division halves the divisions, which
// matters because every money amount of a result is an integer.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits, 1 for zero: the bit width scaled by
// log10(2) ~ 1233/4096 is the count or one less, and one table compare
// settles it. (v | 1 has the same digit count as v and is never 0.)
inline int count(std::uint64_t v) {
    const std::uint64_t x = v | 1;
    const int t = (std::bit_width(x) * 1233) >> 12;
    return t + (x >= pow10::kUint64[t]);
}

// Writes v's `len` digits at p, last pair first.
inline void put(std::uint64_t v, char* p, int len) {
    char* q = p + len;
    while (v >= 100) {
        const std::size_t pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        q -= 2;
        std::memcpy(q, kDigitPairs + pair, 2);
    }
    if (v >= 10)
        std::memcpy(q - 2, kDigitPairs + v * 2, 2);
    else
        q[-1] = static_cast<char>('0' + v);
}

// Room that write() needs at its destination: it stores whole 8-byte words,
// so bytes past the digits it returns may be overwritten, never past this.
inline constexpr std::size_t kWriteRoom = 20;

// The eight decimal digits of v < 10^8 as byte values 0..9, the most
// significant digit in the lowest byte (first in memory on a little-endian
// machine). Splits into 4-digit halves, then pairs, then digits, each step a
// multiply and shift on all lanes at once: 10486 / 2^20 is 1/100 and
// 103 / 2^10 is 1/10, exact for lanes below 10^4 and 10^2.
inline std::uint64_t eight_digits(std::uint32_t v) {
    const std::uint64_t halves = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
    const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007Fu;
    const std::uint64_t pairs = ((halves - 100 * hundreds) << 16) | hundreds;
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;
    return tens | ((pairs - 10 * tens) << 8);
}

inline constexpr std::uint64_t kAsciiZeros = 0x3030303030303030u;

// v < 10^8 without leading zeros at p; stores 8 bytes, returns the end.
inline char* write_short(std::uint32_t v, char* p) {
    const std::uint64_t d = eight_digits(v);
    // Leading zero digits are the low zero bytes; the last digit always stays.
    const int zeros = std::countr_zero(d | (std::uint64_t{1} << 56)) >> 3;
    const std::uint64_t ascii = (d | kAsciiZeros) >> (zeros * 8);
    std::memcpy(p, &ascii, 8);
    return p + 8 - zeros;
}

// v < 10^8 as exactly eight digits at p.
inline char* write_eight(std::uint32_t v, char* p) {
    const std::uint64_t ascii = eight_digits(v) | kAsciiZeros;
    std::memcpy(p, &ascii, 8);
    return p + 8;
}

// v >= 10^8 at p (see write).
inline char* write_long(std::uint64_t v, char* p) {
    if (v < 10000000000000000u) {
        p = write_short(static_cast<std::uint32_t>(v / 100000000u), p);
        return write_eight(static_cast<std::uint32_t>(v % 100000000u), p);
    }
    // 17 to 20 digits: at most four above the last sixteen.
    p = write_short(static_cast<std::uint32_t>(v / 10000000000000000u), p);
    const std::uint64_t low = v % 10000000000000000u;
    p = write_eight(static_cast<std::uint32_t>(low / 100000000u), p);
    return write_eight(static_cast<std::uint32_t>(low % 100000000u), p);
}

// Writes v's decimal digits at p, which has kWriteRoom bytes of room, and
// returns the end of the digits. Values below 10^8 (nearly every amount)
// take the short path; longer ones are split into eight-digit parts.
inline char* write(std::uint64_t v, char* p) {
    if constexpr (std::endian::native != std::endian::little) {
        const int len = count(v);
        put(v, p, len);
        return p + len;
    } else {
        if (v < 100000000u) [[likely]]
            return write_short(static_cast<std::uint32_t>(v), p);
        return write_long(v, p);
    }
}

// Appends v's decimal digits to out.
inline void append(std::uint64_t v, std::string& out) {
    char buf[kWriteRoom];
    out.append(buf, static_cast<std::size_t>(write(v, buf) - buf));
}

}  // namespace morvanta::digits
