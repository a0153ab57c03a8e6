// Decimal forms of doubles, computed here rather than by the platform's
// floating-point to_chars, which older macOS releases do not ship. Built on
// C's snprintf and strtod, which convert exactly (correctly rounded) on
// glibc, macOS and the Windows UCRT.
#pragma once

#include <cstdint>
#include <string>

namespace morvanta::util {

// The decimal digits * 10^exponent; digits has no trailing zero digit.
struct DecimalFloat {
    std::uint64_t digits;
    int exponent;
};

// For a finite a > 0: the shortest decimal that reads back as a, and of
// several that short, the one nearest a. These are the digits of Python's
// repr and of C++'s shortest to_chars.
DecimalFloat shortest_decimal(double a);

// v in fixed notation with exactly two decimals: the exact binary value
// rounded to the nearest hundredth, a tie to the even digit, "-" before a
// negative value (and before a negative one that rounds to zero). The
// decimal point is '.' whatever the C locale.
std::string fixed2(double v);

}  // namespace morvanta::util
