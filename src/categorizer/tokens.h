// Tokens of a lower-cased narration: the runs of alphanumeric characters
// (Alphabetic, or a number category) at least three UTF-8 bytes long.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "unicode/unicode.h"

namespace morvanta::categorizer {

inline constexpr std::size_t min_token_bytes = 3;

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
        while (i < n && detail::byte_class[data[i]] == detail::ascii_alnum) ++i;
        if (i == n) break;
        std::size_t next = i + 1;
        bool alphanumeric = false;
        if (detail::byte_class[data[i]] == detail::non_ascii) {
            next = i;
            alphanumeric = unicode::is_alphanumeric(unicode::decode_utf8(text, next));
            if (next <= i || next > n) next = i + 1;  // always progress, never past the end
        }
        if (!alphanumeric) {
            if (i - start >= min_token_bytes) emit(text.substr(start, i - start));
            start = next;
        }
        i = next;
    }
    if (n - start >= min_token_bytes) emit(text.substr(start));
}

}  // namespace morvanta::categorizer
