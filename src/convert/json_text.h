// What the JSON reader and writer share about the text itself: the bytes a
// string holds only escaped, and the text of a float.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "convert/record.h"
#include "util/swar.h"

namespace morvanta::convert::json {

// A high bit set in each of the eight bytes that a JSON string holds only
// escaped: below 0x20, '"' or '\\'. May also flag bytes after a real hit,
// never one before it, so the lowest flag is exact.
inline std::uint64_t escaped_bytes(std::uint64_t x) {
    return swar::bytes_below(x, 0x20) | swar::bytes_equal(x, '"') | swar::bytes_equal(x, '\\');
}

// Field I's key as compact text writes it, `"key":`, behind `lead` (','
// between members, '{' before the first): the writer copies it whole, and
// the reader takes a member written so in one compare. Keys are declared in
// code and must not need escaping, which is checked here at compile time.
template <RecordType T, std::size_t I, char Lead>
struct KeyLiteral {
    static constexpr std::string_view key = field_at<T, I>.key;
    static constexpr bool plain_key = [] {
        for (char c : key)
            if (c < 0x20 || c == '"' || c == '\\') return false;
        return true;
    }();
    static_assert(plain_key, "record keys are written without escaping");
    static constexpr auto bytes = [] {
        std::array<char, key.size() + 4> a{};
        a[0] = Lead;
        a[1] = '"';
        std::copy(key.begin(), key.end(), a.begin() + 2);
        a[key.size() + 2] = '"';
        a[key.size() + 3] = ':';
        return a;
    }();
    static constexpr std::string_view text{bytes.data(), bytes.size()};
};

// At most this many bytes for a float (sign, "0.0000" and 17 digits).
inline constexpr std::size_t kMaxFloat = 40;

// Writes the JSON form of v at buf, which has kMaxFloat bytes of room, and
// returns its length: NaN and infinities as null, zero as "0.0"/"-0.0",
// anything else from its shortest round-trip digits, in fixed notation for
// decimal exponents -5..15 and exponent notation ("1e+16", "1.5e-7") outside.
std::size_t format_float(double v, char* buf);

inline void append_float(double v, std::string& out) {
    char buf[kMaxFloat];
    out.append(buf, format_float(v, buf));
}

}  // namespace morvanta::convert::json
