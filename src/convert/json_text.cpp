#include "convert/json_text.h"

#include <cmath>
#include <cstring>

#include "util/digits.h"
#include "util/float_decimal.h"

namespace morvanta::convert::json {

namespace {

// Writes the digits d1..dn (count of them) of a value d1.d2...dn times 10^e
// into buf, in fixed notation for e from -5 to 15, else in exponent
// notation; returns the length.
std::size_t place_digits(const char* digits, int count, int e, char* buf) {
    std::size_t n = 0;
    if (e >= -5 && e <= 15) {
        if (e < 0) {
            buf[n++] = '0';
            buf[n++] = '.';
            for (int k = 0; k < -e - 1; ++k) buf[n++] = '0';
            for (int k = 0; k < count; ++k) buf[n++] = digits[k];
        } else if (e >= count - 1) {
            for (int k = 0; k < count; ++k) buf[n++] = digits[k];
            for (int k = 0; k < e - count + 1; ++k) buf[n++] = '0';
            buf[n++] = '.';
            buf[n++] = '0';
        } else {
            for (int k = 0; k < count; ++k) {
                buf[n++] = digits[k];
                if (k == e) buf[n++] = '.';
            }
        }
    } else {
        buf[n++] = digits[0];
        if (count > 1) {
            buf[n++] = '.';
            for (int k = 1; k < count; ++k) buf[n++] = digits[k];
        }
        buf[n++] = 'e';
        buf[n++] = e < 0 ? '-' : '+';
        const std::uint64_t magnitude = static_cast<std::uint64_t>(e < 0 ? -e : e);
        const int len = digits::count(magnitude);
        digits::put(magnitude, buf + n, len);
        n += static_cast<std::size_t>(len);
    }
    return n;
}

}  // namespace

std::size_t format_float(double v, char* buf) {
    if (!std::isfinite(v)) {
        std::memcpy(buf, "null", 4);
        return 4;
    }
    if (v == 0.0) {
        if (std::signbit(v)) {
            std::memcpy(buf, "-0.0", 4);
            return 4;
        }
        std::memcpy(buf, "0.0", 3);
        return 3;
    }
    std::size_t n = 0;
    if (v < 0) buf[n++] = '-';
    // Shortest round-trip digits d1...dn, the value being d1.d2...dn * 10^e.
    const util::DecimalFloat d = util::shortest_decimal(std::fabs(v));
    char digits[20];
    const int count = digits::count(d.digits);
    digits::put(d.digits, digits, count);
    return n + place_digits(digits, count, d.exponent + count - 1, buf + n);
}

}  // namespace morvanta::convert::json
