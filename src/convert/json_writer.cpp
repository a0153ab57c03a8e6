#include "convert/json_writer.h"

#include <array>

#include "util/ascii.h"
#include "util/swar.h"

namespace morvanta::convert::json {

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

// The first byte at or after p that write_string escapes, or end.
const char* next_escape(const char* p, const char* const end) {
    while (end - p >= 8) {
        if (const std::uint64_t mask = escaped_bytes(swar::load8(p))) return p + swar::first_flagged(mask);
        p += 8;
    }
    while (p < end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
    return p;
}

}  // namespace

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

}  // namespace morvanta::convert::json
