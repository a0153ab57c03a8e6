// Encoding one code point as UTF-8.
#pragma once

#include <string>

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

}  // namespace morvanta::unicode
