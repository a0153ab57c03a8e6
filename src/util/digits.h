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

namespace detail {

// v (below 10^(D + 2)) as fixed point: v / 10^D with 32 fraction bits, one
// multiply and shift by a constant a little above 2^(32+S) / 10^D, plus one.
// The result lies in [v * 2^32 / 10^D, (v + 1) * 2^32 / 10^D) for every
// such v (the excess is below v / 2^S + 1, short of 2^32 / 10^D), so each
// multiply of the fraction by 100 brings up the next two digits exactly.
// For the S used below the product stays under 2^59.
template <int D, int S>
inline std::uint64_t scaled(std::uint32_t v) {
    constexpr std::uint64_t pow = D == 2 ? 100 : D == 4 ? 10000 : 1000000;
    constexpr std::uint64_t multiplier = (std::uint64_t{1} << (32 + S)) / pow + 1;
    return ((std::uint64_t{v} * multiplier) >> S) + 1;
}

// The digits of v, which has D + 1 (Lead 1) or D + 2 (Lead 2) of them: the
// leading one or two, then D / 2 pairs.
template <int D, int S, int Lead>
inline char* put_scaled(std::uint32_t v, char* p) {
    std::uint64_t f = scaled<D, S>(v);
    const auto lead = static_cast<std::size_t>(f >> 32);
    if constexpr (Lead == 2) {
        std::memcpy(p, kDigitPairs + 2 * lead, 2);
    } else {
        p[0] = static_cast<char>('0' + lead);
    }
    p += Lead;
    for (int k = 0; k < D / 2; ++k) {
        f = (f & 0xffffffffu) * 100;
        std::memcpy(p, kDigitPairs + 2 * static_cast<std::size_t>(f >> 32), 2);
        p += 2;
    }
    return p;
}

}  // namespace detail

// v < 10^8 without leading zeros at p; returns the end. Branches on the
// digit count, which a column of amounts keeps from row to row, and then
// takes two digits a multiply (the tests check every v below 10^8).
inline char* write_short(std::uint32_t v, char* p) {
    if (v < 100) {
        if (v < 10) {
            p[0] = static_cast<char>('0' + v);
            return p + 1;
        }
        std::memcpy(p, kDigitPairs + 2 * v, 2);
        return p + 2;
    }
    if (v < 10000) return v < 1000 ? detail::put_scaled<2, 20, 1>(v, p) : detail::put_scaled<2, 20, 2>(v, p);
    if (v < 1000000) return v < 100000 ? detail::put_scaled<4, 20, 1>(v, p) : detail::put_scaled<4, 20, 2>(v, p);
    return v < 10000000 ? detail::put_scaled<6, 19, 1>(v, p) : detail::put_scaled<6, 19, 2>(v, p);
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
