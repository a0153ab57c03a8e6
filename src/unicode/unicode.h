// Unicode services of the core: default full lower-casing, the alphanumeric
// class used by tokenizing, and the quoted form of a text used in messages.
// All texts are UTF-8; inputs are valid UTF-8 (they come from Python str or
// from the JSON reader, which both guarantee it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvanta::unicode {

// Appends the Unicode default full lower-case form of `text` to `out`:
// simple mappings overridden by the unconditional special casings, and the
// Final_Sigma rule for U+03A3 looking across the whole text. No tailoring,
// no folding. Pure-ASCII input lowers byte by byte. `text` must not point
// into `out`, which may move as it grows.
void append_lower(std::string_view text, std::string& out);
std::string to_lower(std::string_view text);

// Alphabetic property, or general category Nd, Nl or No.
bool is_alphanumeric(char32_t cp);

// Appends `text` between double quotes, escaping '"' and '\\', writing tab,
// carriage return, line feed and NUL as \t \r \n \0, and every other
// non-printable character (Cc Cf Cs Co Cn Zl Zp, Zs other than the ASCII
// space) and every Grapheme_Extend character as \u{hex}.
void append_quoted(std::string_view text, std::string& out);
std::string quoted(std::string_view text);

// Decodes one code point from valid UTF-8 starting at text[i]; advances i.
char32_t decode_utf8(std::string_view text, std::size_t& i);

}  // namespace morvanta::unicode
