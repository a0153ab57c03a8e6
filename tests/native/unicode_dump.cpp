// Test driver for src/unicode. Reads commands from stdin, one per line, and
// answers each with one line. Texts travel hex-encoded so that NUL, CR and
// LF and broken UTF-8 pass unharmed.
//
//   L <hex>   lower-case form of the text, hex
//   Q <hex>   quoted form of the text, hex
//   D <hex>   code points that decode_utf8 reads from the text, hex, space separated
//   A         is_alphanumeric for every code point 0..0x10FFFF (and one past), '0'/'1'
//   S         every code point (surrogates excluded) whose lone lower-case form differs
//             from itself: "<cp hex>:<lowered hex>" space separated
//
// With the argument --bench it instead times append_lower over an ASCII and a
// mixed narration and prints MB/s (not part of the test suite).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "unicode/unicode.h"

using namespace morvanta::unicode;

namespace {

std::string from_hex(std::string_view hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return out;
}

std::string to_hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// Best of several runs: the machine may be shared, and the minimum time is
// the least disturbed one.
double bench(const std::string& text) {
    const std::size_t rounds = (50u << 20) / text.size() + 1;
    std::string out;
    std::size_t sink = 0;
    double best = 1e30;
    for (int run = 0; run < 9; ++run) {
        auto t0 = std::chrono::steady_clock::now();
        for (std::size_t r = 0; r < rounds; ++r) {
            out.clear();
            append_lower(text, out);
            sink += out.size();
        }
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    if (sink == 0) std::puts("");
    return static_cast<double>(rounds * text.size()) / best / 1e6;
}

int run_bench() {
    const std::string ascii = "UPI/DR/412345678901/SWIGGY FOOD ORDER/HDFC/Payment from Phone 2024-11-03";
    const std::string accented = "POS 4512 CAFÉ ZÜRICH HBF/Ünal Döner GmbH/CARD 1234 2024-11-03";
    const std::string mixed = "Überweisung MÜNCHEN Straße ΚΑΦΕΤΕΡΙΑ ΣΟΦΙΑΣ Café Ünal ИВАНОВ 日本 カード";
    for (std::size_t len : {std::size_t{60}, std::size_t{4096}}) {
        std::string a, b, m;
        while (a.size() < len) a += ascii;
        while (b.size() < len) b += accented;
        while (m.size() < len) m += mixed;
        std::printf("~%zu-byte texts: ascii %.0f MB/s, accented %.0f MB/s, mixed %.0f MB/s\n", len, bench(a),
                    bench(b), bench(m));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--bench") return run_bench();
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        const char cmd = line.empty() ? '?' : line[0];
        const std::string hex_arg = from_hex(line.size() > 2 ? std::string_view(line).substr(2) : "");
        // An exactly sized copy, so that a sanitizer build catches any read
        // past the end of the text.
        std::unique_ptr<char[]> tight(new char[hex_arg.size() + (hex_arg.empty() ? 1 : 0)]);
        std::memcpy(tight.get(), hex_arg.data(), hex_arg.size());
        const std::string_view arg(tight.get(), hex_arg.size());
        std::string out;
        switch (cmd) {
            case 'L': out = to_hex(to_lower(arg)); break;
            case 'Q': out = to_hex(quoted(arg)); break;
            case 'D':
                for (std::size_t i = 0; i < arg.size();) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%x ", static_cast<unsigned>(decode_utf8(arg, i)));
                    out += buf;
                }
                break;
            case 'A':
                for (char32_t cp = 0; cp <= 0x110000; ++cp) out += is_alphanumeric(cp) ? '1' : '0';
                break;
            case 'S':
                for (char32_t cp = 0; cp < 0x110000; ++cp) {
                    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
                    const std::string c = utf8(cp);
                    const std::string lowered = to_lower(c);
                    if (lowered == c) continue;
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%x:", static_cast<unsigned>(cp));
                    out += buf;
                    out += to_hex(lowered);
                    out += ' ';
                }
                break;
            default: out = "?"; break;
        }
        std::cout << out << '\n';
    }
    return 0;
}
