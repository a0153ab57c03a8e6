// What the JSON reader and writer share about the text itself: the bytes a
// string holds only escaped, and the text of a float.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/swar.h"

namespace morvanta::convert::json {

// A high bit set in each of the eight bytes that a JSON string holds only
// escaped: below 0x20, '"' or '\\'. May also flag bytes after a real hit,
// never one before it, so the lowest flag is exact.
inline std::uint64_t escaped_bytes(std::uint64_t x) {
    return swar::bytes_below(x, 0x20) | swar::bytes_equal(x, '"') | swar::bytes_equal(x, '\\');
}

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
