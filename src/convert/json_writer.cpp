#include "convert/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace morvanta::convert {

namespace {

// "00" "01" ... "99": two digits per division halves the divisions, which
// matters because every money amount of a result is an integer.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes v's digits so that they end at `end`; returns where they start.
// 20 bytes hold UINT64_MAX.
char* format_uint(std::uint64_t v, char* end) {
    char* p = end;
    while (v >= 100) {
        const std::size_t pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + pair, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + v * 2, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    return p;
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

// True when any of the eight bytes is below 0x20, '"' or '\\'. May flag
// extra bytes above a real hit, never misses one.
constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;
inline bool needs_escape(std::uint64_t x) {
    const std::uint64_t q = x ^ (kOnes * '"');
    const std::uint64_t b = x ^ (kOnes * '\\');
    return (((x - kOnes * 0x20) & ~x) | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs;
}

}  // namespace

void append_json_float(double v, std::string& out) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    if (v == 0.0) {
        out += std::signbit(v) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits, as "[-]d[.ddd]e(+|-)dd[d]".
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    char buf[40];
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
        char exp_digits[4];
        char* end = exp_digits + sizeof exp_digits;
        char* start = format_uint(static_cast<std::uint64_t>(e < 0 ? -e : e), end);
        for (; start < end; ++start) buf[n++] = *start;
    }
    out.append(buf, n);
}

namespace json {

void append_uint(std::uint64_t v, std::string& out) {
    char buf[20];
    char* end = buf + sizeof buf;
    char* start = format_uint(v, end);
    out.append(start, static_cast<std::size_t>(end - start));
}

void append_int(std::int64_t v, std::string& out) {
    char buf[21];
    char* end = buf + sizeof buf;
    // The magnitude in unsigned arithmetic, so INT64_MIN needs no special case.
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    char* start = format_uint(magnitude, end);
    if (v < 0) *--start = '-';
    out.append(start, static_cast<std::size_t>(end - start));
}

std::size_t uint_size(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 10; v /= 10) ++n;
    return n;
}

void append_string(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;  // start of the bytes not yet copied
    while (p < end) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (needs_escape(word)) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char c = static_cast<unsigned char>(*p);
        const char letter = kEscape[c];
        if (letter == 0) {
            ++p;
            continue;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        if (letter == 'u') {
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', letter};
            out.append(esc, 2);
        }
        run = ++p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out += '"';
}

}  // namespace json

}  // namespace morvanta::convert
