// Byte-level ASCII helpers shared by the Unicode lowering, the categorizer and
// the JSON writer: one definition each.
#pragma once

#include <cstdint>

#include "util/swar.h"

namespace morvanta::ascii {

// 'A'..'Z' to 'a'..'z'; every other byte (non-ASCII included) unchanged.
constexpr unsigned char lower(unsigned char b) {
    return static_cast<unsigned>(b - 'A') < 26u ? static_cast<unsigned char>(b + 0x20) : b;
}

// Lower-cases eight ASCII bytes at once. With every byte below 0x80 the
// additions cannot carry into the next byte, so bit 7 of each byte tells
// whether that byte is >= 'A' and whether it is > 'Z'; 0x80 >> 2 is 0x20.
constexpr std::uint64_t lower8(std::uint64_t x) {
    const std::uint64_t ge_a = x + swar::kOnes * (0x80 - 'A');
    const std::uint64_t gt_z = x + swar::kOnes * (0x80 - 'Z' - 1);
    return x | (((ge_a & ~gt_z) & swar::kHighs) >> 2);
}

// lower8 for any eight bytes: the ASCII capitals lowered, every byte from
// 0x80 on (the bytes of lowered UTF-8 text) kept as it is.
constexpr std::uint64_t lower8_any(std::uint64_t x) {
    const std::uint64_t low = x & ~swar::kHighs;
    const std::uint64_t upper = (low + swar::kOnes * (0x80 - 'A')) & ~(low + swar::kOnes * (0x80 - 'Z' - 1)) & ~x;
    return x | ((upper & swar::kHighs) >> 2);
}

// Lowercase hexadecimal digits, indexed by value 0..15.
inline constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace morvanta::ascii
