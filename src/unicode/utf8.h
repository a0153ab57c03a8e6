// Encoding and decoding one code point as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvanta::unicode {

// Writes the 1 to 4 bytes of cp (at most U+10FFFF) at dst; returns the end.
inline char* encode_utf8(char32_t cp, char* dst) {
    if (cp < 0x80) {
        *dst++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *dst++ = static_cast<char>(0xC0 | (cp >> 6));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *dst++ = static_cast<char>(0xE0 | (cp >> 12));
        *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *dst++ = static_cast<char>(0xF0 | (cp >> 18));
        *dst++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return dst;
}

inline void append_utf8(char32_t cp, std::string& out) {
    char buf[4];
    out.append(buf, static_cast<std::size_t>(encode_utf8(cp, buf) - buf));
}

// One decoded UTF-8 sequence. `len` is 0 when the bytes are not a
// well-formed sequence; `bad` is then the offset of the first byte that
// breaks it (the lead byte itself, or the number of bytes left when the
// text ends inside the sequence).
struct Utf8Sequence {
    char32_t cp;
    std::uint32_t len;
    std::uint32_t bad;
};

// Decodes the sequence at p (p < end). Overlong forms, surrogates and
// values above U+10FFFF are refused, and nothing at or past `end` is read.
[[gnu::always_inline]] inline Utf8Sequence decode_utf8_sequence(const unsigned char* p, const unsigned char* end) {
    const unsigned c = p[0];
    if (c < 0x80) return {c, 1, 0};
    std::uint32_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0Fu;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07u;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return {0, 0, 0};
    }
    const auto avail = static_cast<std::size_t>(end - p);
    for (std::uint32_t k = 1; k < len; ++k) {
        if (k == avail) return {0, 0, k};
        const unsigned t = p[k];
        if (k == 1 ? (t < lo || t > hi) : (t & 0xC0u) != 0x80u) return {0, 0, k};
        cp = (cp << 6) | (t & 0x3Fu);
    }
    return {cp, len, 0};
}

// Whether every byte of `text` belongs to a well-formed UTF-8 sequence.
inline bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const Utf8Sequence seq = decode_utf8_sequence(p, end);
        if (seq.len == 0) return false;
        p += seq.len;
    }
    return true;
}

}  // namespace morvanta::unicode
