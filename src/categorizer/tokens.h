// Tokens of a lower-cased narration: the runs of alphanumeric characters
// (Alphabetic, or a number category) at least three UTF-8 bytes long.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "unicode/unicode.h"
#include "util/swar.h"

namespace morvanta::categorizer {

inline constexpr std::size_t kMinTokenBytes = 3;

namespace detail {

// Byte classes for the scan: ASCII letters and digits continue a piece,
// other ASCII bytes end it, and a non-ASCII lead byte needs decoding.
enum : unsigned char { separator = 0, ascii_alnum = 1, non_ascii = 2 };

inline constexpr std::array<unsigned char, 256> byte_class = [] {
    std::array<unsigned char, 256> table{};
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = ascii_alnum;
    for (char c = 'a'; c <= 'z'; ++c) table[static_cast<unsigned char>(c)] = ascii_alnum;
    for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<unsigned char>(c)] = ascii_alnum;
    for (std::size_t b = 0x80; b < 256; ++b) table[b] = non_ascii;
    return table;
}();

// The high bit of each byte of `w` that is an ASCII letter or digit, exact
// for every byte: the sums below stay within their byte.
constexpr std::uint64_t ascii_alnum_bytes(std::uint64_t w) {
    const std::uint64_t low = w & ~swar::kHighs;                // each byte below 0x80
    const std::uint64_t at_least_0 = low + swar::kOnes * (0x80 - '0');
    const std::uint64_t above_9 = low + swar::kOnes * (0x7f - '9');
    const std::uint64_t folded = low | swar::kOnes * 0x20;     // capitals onto small letters
    const std::uint64_t at_least_a = folded + swar::kOnes * (0x80 - 'a');
    const std::uint64_t above_z = folded + swar::kOnes * (0x7f - 'z');
    return ((at_least_0 & ~above_9) | (at_least_a & ~above_z)) & ~w & swar::kHighs;
}

// The end of the run of ASCII letters and digits at data[i], eight bytes at
// a time while eight remain.
inline std::size_t skip_ascii_alnum(const unsigned char* data, std::size_t i, std::size_t n) {
    for (; n - i >= 8; i += 8) {
        const std::uint64_t stop = ~ascii_alnum_bytes(swar::load8(data + i)) & swar::kHighs;
        if (stop != 0) return i + swar::first_flagged(stop);
    }
    while (i < n && byte_class[data[i]] == ascii_alnum) ++i;
    return i;
}

}  // namespace detail

// Calls emit(token) for every token of `text`, left to right, repeats included.
template <class Emit>
void for_each_token(std::string_view text, Emit&& emit) {
    const auto* const data = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t start = 0;  // first byte of the current piece
    std::size_t i = 0;
    while (i < n) {
        // The common case, a run of ASCII letters and digits, in a tight loop.
        i = detail::skip_ascii_alnum(data, i, n);
        if (i == n) break;
        std::size_t next = i + 1;
        bool alphanumeric = false;
        if (detail::byte_class[data[i]] == detail::non_ascii) {
            next = i;
            alphanumeric = unicode::is_alphanumeric(unicode::decode_utf8(text, next));
            if (next <= i || next > n) next = i + 1;  // always progress, never past the end
        }
        if (!alphanumeric) {
            if (i - start >= kMinTokenBytes) emit(text.substr(start, i - start));
            start = next;
        }
        i = next;
    }
    if (n - start >= kMinTokenBytes) emit(text.substr(start));
}

}  // namespace morvanta::categorizer
