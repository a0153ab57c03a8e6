// Powers of ten, computed at compile time: the 64-bit integers 10^0 ... 10^19
// and the doubles nearest to 10^0 ... 10^308.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace morvanta::pow10 {

namespace detail {

// A power of five in 32-bit limbs, least significant first: 5^308 < 2^716.
using Limbs = std::array<std::uint32_t, 23>;

constexpr void times_five(Limbs& v) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : v) {
        const std::uint64_t x = std::uint64_t{limb} * 5 + carry;
        limb = static_cast<std::uint32_t>(x);
        carry = x >> 32;
    }
}

constexpr int bit_length(const Limbs& v) {
    for (int i = static_cast<int>(v.size()) - 1; i >= 0; --i)
        if (v[i] != 0) return i * 32 + std::bit_width(v[i]);
    return 0;
}

constexpr bool bit(const Limbs& v, int i) { return i >= 0 && (v[i / 32] >> (i % 32) & 1u) != 0; }

constexpr bool any_bit_below(const Limbs& v, int n) {
    if (n <= 0) return false;
    for (int i = 0; i < n / 32; ++i)
        if (v[i] != 0) return true;
    return n % 32 != 0 && (v[n / 32] & ((std::uint32_t{1} << (n % 32)) - 1)) != 0;
}

// v * 2^e rounded to the nearest double, a tie to the even significand.
constexpr double nearest_double(const Limbs& v, int e) {
    const int length = bit_length(v);
    const int low = length - 53;  // bits below the significand (none if negative)
    std::uint64_t m = 0;
    for (int i = length - 1; i >= low; --i) m = m << 1 | (bit(v, i) ? 1u : 0u);
    if (bit(v, low - 1) && (any_bit_below(v, low - 1) || (m & 1) != 0)) ++m;
    int exponent = length - 1 + e;  // of the leading bit
    if (m >> 53 != 0) {
        m >>= 1;
        ++exponent;
    }
    constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;
    return std::bit_cast<double>(static_cast<std::uint64_t>(exponent + 1023) << 52 | (m & kFraction));
}

}  // namespace detail

// 10^0 ... 10^19, every power of ten that fits 64 bits.
inline constexpr std::array<std::uint64_t, 20> kUint64 = [] {
    std::array<std::uint64_t, 20> t{};
    std::uint64_t p = 1;
    for (std::uint64_t& x : t) {
        x = p;
        p *= 10;
    }
    return t;
}();

// The doubles nearest to 10^0 ... 10^308, each from 10^k = 5^k * 2^k; those
// below kExactDoubles are 10^k exactly.
inline constexpr std::array<double, 309> kDouble = [] {
    std::array<double, 309> t{};
    detail::Limbs five{1};
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (k > 0) detail::times_five(five);
        t[k] = detail::nearest_double(five, static_cast<int>(k));
    }
    return t;
}();
inline constexpr std::size_t kExactDoubles = 23;

static_assert(kDouble[22] == 1e22 && kDouble[23] == 1e23 && kDouble[308] == 1e308);

}  // namespace morvanta::pow10
