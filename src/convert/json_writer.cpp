#include "convert/json_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "util/swar.h"

namespace morvanta::convert {

namespace {

// "00" "01" ... "99": two digits per division halves the divisions, which
// matters because every money amount of a result is an integer.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint64_t kPow10u[20] = {1u,
                                       10u,
                                       100u,
                                       1000u,
                                       10000u,
                                       100000u,
                                       1000000u,
                                       10000000u,
                                       100000000u,
                                       1000000000u,
                                       10000000000u,
                                       100000000000u,
                                       1000000000000u,
                                       10000000000000u,
                                       100000000000000u,
                                       1000000000000000u,
                                       10000000000000000u,
                                       100000000000000000u,
                                       1000000000000000000u,
                                       10000000000000000000u};

// Number of decimal digits, 1 for zero: the bit width scaled by
// log10(2) ~ 1233/4096 is the count or one less, and one table compare
// settles it. (v | 1 has the same digit count as v and is never 0.)
int digit_count(std::uint64_t v) {
    const std::uint64_t x = v | 1;
    const int t = (std::bit_width(x) * 1233) >> 12;
    return t + (x >= kPow10u[t]);
}

// Writes v's `len` digits at p, last pair first.
void put_digits(std::uint64_t v, char* p, int len) {
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

// Escape letter per byte: 0 copies the byte, 'u' writes \u00XX.
constexpr auto kEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

// A high bit set in each of the eight bytes that is below 0x20, '"' or
// '\\'. May also flag bytes after a real hit, never one before it, so the
// lowest flag is exact.
inline std::uint64_t escape_mask(std::uint64_t x) {
    return swar::bytes_below(x, 0x20) | swar::bytes_equal(x, '"') | swar::bytes_equal(x, '\\');
}

// Writes the JSON form of v into buf (40 bytes is enough: sign, "0.0000",
// 17 digits); returns its length.
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
    // Shortest round-trip digits, as "[-]d[.ddd]e(+|-)dd[d]".
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    std::size_t n = 0;
    if (*p == '-') {
        buf[n++] = '-';
        ++p;
    }
    char digits[17];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.')
        for (++p; *p != 'e'; ++p) digits[count++] = *p;
    ++p;  // 'e'
    const bool exp_negative = *p++ == '-';
    int e = 0;
    for (; p < res.ptr; ++p) e = e * 10 + (*p - '0');
    if (exp_negative) e = -e;

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
        const int len = digit_count(magnitude);
        put_digits(magnitude, buf + n, len);
        n += static_cast<std::size_t>(len);
    }
    return n;
}

}  // namespace

void append_json_float(double v, std::string& out) {
    char buf[40];
    out.append(buf, format_float(v, buf));
}

namespace json {

void Out::grow(std::size_t n) {
    used_ = static_cast<std::size_t>(p_ - s_.data());
    // Use the room the caller reserved before allocating, then double.
    s_.resize(std::max({used_ + n, s_.size() * 2, s_.capacity(), std::size_t{128}}));
    sync();
}

void write_uint(std::uint64_t v, Out& out) {
    const int len = digit_count(v);
    put_digits(v, out.cursor(), len);
    out.cursor() += len;
}

void write_int(std::int64_t v, Out& out) {
    // The magnitude in unsigned arithmetic, so INT64_MIN needs no special case.
    std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    if (v < 0) {
        out.raw('-');
        magnitude = 0 - magnitude;
    }
    write_uint(magnitude, out);
}

void write_float(double v, Out& out) {
    out.reserve(40);
    out.cursor() += format_float(v, out.cursor());
}

void write_string(std::string_view text, Out& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.reserve(text.size() + 2);  // enough unless something needs escaping
    out.raw('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;  // start of the bytes not yet copied
    while (p < end) {
        while (end - p >= 8) {
            if (const std::uint64_t mask = escape_mask(swar::load8(p))) {
                if constexpr (swar::kHasFirstFlagged) p += swar::first_flagged(mask);
                break;
            }
            p += 8;
        }
        if (p == end) break;
        const unsigned char c = static_cast<unsigned char>(*p);
        const char letter = kEscape[c];
        if (letter == 0) {
            ++p;
            continue;
        }
        // Room for the pending run, this escape and the rest unescaped.
        out.reserve(static_cast<std::size_t>(end - run) + 7);
        out.raw(run, static_cast<std::size_t>(p - run));
        if (letter == 'u') {
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.raw(esc, 6);
        } else {
            const char esc[2] = {'\\', letter};
            out.raw(esc, 2);
        }
        run = ++p;
    }
    out.reserve(static_cast<std::size_t>(end - run) + 1);
    out.raw(run, static_cast<std::size_t>(end - run));
    out.raw('"');
}

}  // namespace json

}  // namespace morvanta::convert
