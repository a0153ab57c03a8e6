#include "convert/json_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/ascii.h"
#include "util/digits.h"
#include "util/float_decimal.h"
#include "util/swar.h"

namespace morvanta::convert {

namespace {

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

// The first byte at or after p that write_string escapes, or end.
const char* next_escape(const char* p, const char* const end) {
    while (end - p >= 8) {
        if (const std::uint64_t mask = escape_mask(swar::load8(p))) return p + swar::first_flagged(mask);
        p += 8;
    }
    while (p < end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
    return p;
}

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
    std::size_t n = 0;
    if (v < 0) buf[n++] = '-';
    // Shortest round-trip digits d1...dn, the value being d1.d2...dn * 10^e.
    const util::DecimalFloat d = util::shortest_decimal(std::fabs(v));
    char digits[20];
    const int count = digits::count(d.digits);
    digits::put(d.digits, digits, count);
    return n + place_digits(digits, count, d.exponent + count - 1, buf + n);
}

}  // namespace

void append_json_float(double v, std::string& out) {
    char buf[40];
    out.append(buf, format_float(v, buf));
}

namespace json {

void Buffer::grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(p_ - data_);
    const std::size_t size = std::max({used + n, capacity() * 2, std::size_t{128}});
    // realloc keeps the bytes, and a large block is remapped rather than copied.
    char* data = static_cast<char*>(std::realloc(data_, size));
    if (!data) throw std::bad_alloc();
    data_ = data;
    p_ = data + used;
    end_ = data + size;
}

std::size_t string_size(std::string_view text) {
    std::size_t n = text.size() + 2;
    const char* const end = text.data() + text.size();
    for (const char* p = next_escape(text.data(), end); p < end; p = next_escape(p + 1, end))
        n += kEscape[static_cast<unsigned char>(*p)] == 'u' ? 5 : 1;
    return n;
}

void write_float(double v, Buffer& out) {
    out.reserve(kMaxFloat);
    out.cursor() += format_float(v, out.cursor());
}

std::size_t float_size(double v) {
    char buf[kMaxFloat];
    return format_float(v, buf);
}

void write_string(std::string_view text, Buffer& out) {
    out.reserve(text.size() + 2);  // enough unless something needs escaping
    out.raw('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;  // start of the bytes not yet copied
    for (p = next_escape(p, end); p < end; p = next_escape(p, end)) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const char letter = kEscape[c];
        // Room for the pending run, this escape and the rest unescaped.
        out.reserve(static_cast<std::size_t>(end - run) + 7);
        out.raw(run, static_cast<std::size_t>(p - run));
        if (letter == 'u') {
            const char esc[6] = {'\\', 'u', '0', '0', ascii::kHexDigits[c >> 4], ascii::kHexDigits[c & 0xF]};
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
