// Unsigned integers as decimal digits: the one writer of integer text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace morvanta::digits {

// "00" "01" ... "99": two digits per division halves the divisions, which
// matters because every money amount of a result is an integer.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// 10^0 ... 10^19, every power of ten that fits 64 bits.
inline constexpr std::uint64_t kPow10u[20] = {
    1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u,
    10000000000u, 100000000000u, 1000000000000u, 10000000000000u, 100000000000000u,
    1000000000000000u, 10000000000000000u, 100000000000000000u, 1000000000000000000u,
    10000000000000000000u};

// Number of decimal digits, 1 for zero: the bit width scaled by
// log10(2) ~ 1233/4096 is the count or one less, and one table compare
// settles it. (v | 1 has the same digit count as v and is never 0.)
inline int count(std::uint64_t v) {
    const std::uint64_t x = v | 1;
    const int t = (std::bit_width(x) * 1233) >> 12;
    return t + (x >= kPow10u[t]);
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

// Appends v's decimal digits to out.
inline void append(std::uint64_t v, std::string& out) {
    char buf[20];
    const int len = count(v);
    put(v, buf, len);
    out.append(buf, static_cast<std::size_t>(len));
}

}  // namespace morvanta::digits
