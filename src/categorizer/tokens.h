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

// Among ASCII characters exactly the letters and digits are alphanumeric.
inline constexpr std::array<bool, 128> ascii_alphanumeric = [] {
    std::array<bool, 128> table{};
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

}  // namespace detail

// Calls emit(token) for every token of `text`, left to right, repeats included.
template <class Emit>
void for_each_token(std::string_view text, Emit&& emit) {
    const std::size_t n = text.size();
    std::size_t start = 0;  // first byte of the current piece
    std::size_t i = 0;
    while (i < n) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t next = i + 1;
        bool alphanumeric;
        if (byte < 0x80) {
            alphanumeric = detail::ascii_alphanumeric[byte];
        } else {
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
