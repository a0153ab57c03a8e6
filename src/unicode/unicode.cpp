// Lower-casing, character classes and the quoted form over UTF-8 text.
// Every per-character question is one lookup in the generated tables.
#include "unicode/unicode.h"

#include <cstring>

#include "unicode/tables.h"
#include "unicode/utf8.h"
#include "util/ascii.h"
#include "util/swar.h"

namespace morvanta::unicode {
namespace {

using tables::lookup;
using tables::Record;

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kFinalSigma = 0x3C2;

struct Decoded {
    char32_t cp;
    std::uint32_t len;  // bytes consumed, 1 for an invalid byte
    bool valid;
};

// Decodes one character at p (p < end). Callers promise valid UTF-8, but a
// truncated or malformed sequence must still never read past `end` or yield
// a code point outside the tables: it decodes as one invalid byte.
[[gnu::always_inline]] inline Decoded decode(const unsigned char* p, const unsigned char* end) {
    const Utf8Sequence d = decode_utf8_sequence(p, end);
    if (d.len == 0) return {kReplacement, 1, false};
    return {d.cp, d.len, true};
}

// The record of the character that ends just before text[pos] (pos > 0);
// moves pos to its start. An invalid sequence counts as the single byte
// before pos, with the record of U+FFFD (neither cased nor case-ignorable).
inline const Record& record_before(std::string_view text, std::size_t& pos) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t start = pos - 1;
    for (int k = 0; k < 3 && start > 0 && (s[start] & 0xC0) == 0x80; ++k) --start;
    const Decoded d = decode(s + start, s + pos);
    if (d.valid && start + d.len == pos) {
        pos = start;
        return lookup(d.cp);
    }
    --pos;
    return lookup(kReplacement);
}

// Final_Sigma for the capital sigma at text[start, end): preceded by a cased
// character and not followed by one, skipping case-ignorable characters on
// both sides. Each scan stops at the first character that is not
// case-ignorable, and a sigma is cased, so the stretch between two sigmas is
// scanned at most twice and a whole text still costs linear time.
bool is_final_sigma(std::string_view text, std::size_t start, std::size_t end) {
    bool cased_before = false;
    for (std::size_t pos = start; pos > 0;) {
        const Record& r = record_before(text, pos);
        if (!(r.flags & tables::kCaseIgnorable)) {
            cased_before = (r.flags & tables::kCased) != 0;
            break;
        }
    }
    if (!cased_before) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* stop = s + text.size();
    for (const auto* p = s + end; p < stop;) {
        const Decoded d = decode(p, stop);
        const Record& r = lookup(d.cp);
        if (!(r.flags & tables::kCaseIgnorable)) return !(r.flags & tables::kCased);
        p += d.len;
    }
    return true;
}

// Lowers the ASCII run starting at s[i] into dst; stops at the first
// non-ASCII byte or the end. Returns the new i; dst advances alike.
inline std::size_t lower_ascii_run(const unsigned char* s, std::size_t i, std::size_t n, char*& dst) {
    while (n - i >= 8) {
        const std::uint64_t x = swar::load8(s + i);
        if (x & swar::kHighs) break;
        swar::store8(dst, ascii::lower8(x));
        dst += 8;
        i += 8;
    }
    while (i < n && s[i] < 0x80) *dst++ = static_cast<char>(ascii::lower(s[i++]));
    return i;
}

}  // namespace

char32_t decode_utf8(std::string_view text, std::size_t& i) {
    if (i >= text.size()) return kReplacement;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const Decoded d = decode(s + i, s + text.size());
    i += d.len;
    return d.cp;
}

bool is_alphanumeric(char32_t cp) {
    return cp < 0x110000 && (lookup(cp).flags & tables::kAlnum) != 0;
}

void append_lower(std::string_view text, std::string& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::size_t base = out.size();
    // ASCII lowers to the same length, so size for that first.
    out.resize(base + n);
    char* dst = out.data() + base;
    std::size_t i = lower_ascii_run(s, 0, n, dst);
    if (i == n) return;

    // No character lowers to more than 3 bytes per 2 of its own (the
    // generator checks this), so the rest needs at most 1.5 times its size.
    const std::size_t done = static_cast<std::size_t>(dst - out.data());
    const std::size_t rest = n - i;
    out.resize(done + rest + rest / 2);
    dst = out.data() + done;
    while (i < n) {
        if (s[i] < 0x80) {
            i = lower_ascii_run(s, i, n, dst);
            continue;
        }
        const Decoded d = decode(s + i, s + n);
        const Record& r = lookup(d.cp);
        if (r.flags & tables::kMultiLower) [[unlikely]] {
            const tables::MultiLower& m = tables::kMultiLowerMap[r.delta];
            for (std::uint8_t k = 0; k < m.length; ++k) dst = encode_utf8(m.mapping[k], dst);
        } else if (r.delta == 0) {
            // Unchanged characters are copied, not re-encoded (measured ~10%
            // faster on non-Latin text). A broken byte decodes as U+FFFD,
            // which has delta 0, so it too is copied as it is, never replaced.
            std::memcpy(dst, s + i, d.len);
            dst += d.len;
        } else {
            char32_t lowered = static_cast<char32_t>(static_cast<std::int32_t>(d.cp) + r.delta);
            if (d.cp == kCapitalSigma && is_final_sigma(text, i, i + d.len)) lowered = kFinalSigma;
            dst = encode_utf8(lowered, dst);
        }
        i += d.len;
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
}

std::string to_lower(std::string_view text) {
    std::string out;
    append_lower(text, out);
    return out;
}

void append_quoted(std::string_view text, std::string& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    out.reserve(out.size() + n + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < n;) {
        const Decoded d = decode(s + i, s + n);
        const std::size_t at = i;
        i += d.len;
        switch (d.cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (!d.valid) {
            // Never copy a broken sequence into a message: it must stay UTF-8.
            out += "\xEF\xBF\xBD";
        } else if (lookup(d.cp).flags & tables::kEscape) {
            char digits[8];
            int k = 0;
            char32_t v = d.cp;
            do {
                digits[k++] = ascii::kHexDigits[v & 0xF];
                v >>= 4;
            } while (v != 0);
            out += "\\u{";
            while (k > 0) out.push_back(digits[--k]);
            out.push_back('}');
        } else {
            out.append(text.data() + at, d.len);
        }
    }
    out.push_back('"');
}

std::string quoted(std::string_view text) {
    std::string out;
    append_quoted(text, out);
    return out;
}

}  // namespace morvanta::unicode
