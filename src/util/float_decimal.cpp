#include "util/float_decimal.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "util/pow10.h"

// The exactness checks below compare a double division with the value it
// should give; wider intermediate precision (x87) would defeat them.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "double arithmetic must evaluate in double precision"
#endif

namespace morvanta::util {

namespace {

DecimalFloat stripped(DecimalFloat d) {
    while (d.digits % 10 == 0) {
        d.digits /= 10;
        ++d.exponent;
    }
    return d;
}

// The double that the decimal d reads as. The text has no decimal point, so
// the C locale's radix character does not matter.
double read_back(DecimalFloat d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llue%d", static_cast<unsigned long long>(d.digits), d.exponent);
    return std::strtod(buf, nullptr);
}

// The p-digit decimal nearest a (1 <= p <= 17), a tie to the even digit:
// printf's "%.*e" of the exact binary value. Only the digits and the
// exponent are read from its text, so the radix character does not matter.
DecimalFloat rounded(double a, int p) {
    char buf[48];
    const int len = std::snprintf(buf, sizeof buf, "%.*e", p - 1, a);
    const char* s = buf;
    const char* const end = buf + (len > 0 ? len : 0);
    std::uint64_t digits = 0;
    for (; s < end && *s != 'e'; ++s)
        if (*s >= '0' && *s <= '9') digits = digits * 10 + static_cast<unsigned>(*s - '0');
    int exponent = 0;
    bool negative = false;
    if (s < end) ++s;  // 'e'
    if (s < end && (*s == '-' || *s == '+')) negative = *s++ == '-';
    for (; s < end; ++s) exponent = exponent * 10 + (*s - '0');
    return {digits, (negative ? -exponent : exponent) - (p - 1)};
}

// The p-digit decimal next to r on the other side of a, where r is the
// nearest, lies below a when `up` is false and does not read back as a.
// Where rounding intervals are uneven (at a power of two) it may.
DecimalFloat other_side(DecimalFloat r, int p, bool up) {
    const std::uint64_t low = pow10::kUint64[p - 1];
    if (up) return r.digits + 1 == low * 10 ? DecimalFloat{low, r.exponent + 1} : DecimalFloat{r.digits + 1, r.exponent};
    return r.digits == low ? DecimalFloat{low * 10 - 1, r.exponent - 1} : DecimalFloat{r.digits - 1, r.exponent};
}

// The shortest decimal of from..to digits, trying each length in turn: of
// that length, only the nearest decimal and its neighbour across a can read
// back as a and be the nearest of those that do. to digits always do.
DecimalFloat search(double a, int from, int to) {
    for (int p = from; p < to; ++p) {
        const DecimalFloat r = rounded(a, p);
        const double y = read_back(r);
        if (y == a) return stripped(r);
        const DecimalFloat n = other_side(r, p, y < a);
        if (read_back(n) == a) return stripped(n);
    }
    return stripped(rounded(a, to));
}

}  // namespace

DecimalFloat shortest_decimal(double a) {
    if (a >= std::numeric_limits<double>::min()) {
        // Any decimal of at most 15 digits that reads back as a normal double
        // is the 15-digit rounding of that double with zeros stripped (the
        // 15-digit decimals lie further apart than the doubles), so it is
        // the shortest form and the only one of its length.
        //
        // Integers below 2^53: no other decimal lies within their rounding
        // interval, so the digits are the integer's own.
        if (a < 9007199254740992.0 && a == std::floor(a)) return stripped({static_cast<std::uint64_t>(a), 0});
        // Short decimals, such as rates (7.25, 0.1): m / 10^k, computed
        // exactly rounded from two exact operands, is a itself exactly when
        // the decimal m * 10^-k reads back as a; the first k found gives the
        // fewest digits.
        for (std::size_t k = 1; k < pow10::kExactDoubles; ++k) {
            const double t = a * pow10::kDouble[k];
            if (t >= 1e15) break;
            const double m = std::round(t);
            if (m / pow10::kDouble[k] == a) return stripped({static_cast<std::uint64_t>(m), -static_cast<int>(k)});
        }
        const DecimalFloat r = rounded(a, 15);
        if (read_back(r) == a) return stripped(r);
        return search(a, 16, 17);
    }
    // Subnormal: with fewer significant bits, short forms are not the
    // 15-digit rounding padded; every length is tried.
    return search(a, 1, 17);
}

std::string fixed2(double v) {
    // The largest double has 309 integral digits.
    char buf[400];
    const int len = std::snprintf(buf, sizeof buf, "%.2f", v);
    std::string out;
    out.reserve(static_cast<std::size_t>(len > 0 ? len : 0) + 1);
    for (int i = 0; i < len; ++i)
        if (buf[i] == '-' || (buf[i] >= '0' && buf[i] <= '9')) out.push_back(buf[i]);
    // printf wrote the integral digits, the locale's radix character and two
    // decimals; the point goes before the last two digits.
    out.insert(out.end() - 2, '.');
    return out;
}

}  // namespace morvanta::util
