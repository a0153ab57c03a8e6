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
#include <chrono>
#include <cstdio>
#include <iostream>
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

double bench(const std::string& text) {
    const std::size_t target = 200u << 20;  // bytes to lower per measurement
    const std::size_t rounds = target / text.size() + 1;
    std::string out;
    std::size_t sink = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (std::size_t r = 0; r < rounds; ++r) {
        out.clear();
        append_lower(text, out);
        sink += out.size();
    }
    auto t1 = std::chrono::steady_clock::now();
    if (sink == 0) std::puts("");
    double secs = std::chrono::duration<double>(t1 - t0).count();
    return static_cast<double>(rounds * text.size()) / secs / 1e6;
}

int run_bench() {
    const std::string ascii = "UPI/DR/412345678901/SWIGGY FOOD ORDER/HDFC/Payment from Phone 2024-11-03";
    const std::string mixed = "Überweisung MÜNCHEN Straße ΚΑΦΕΤΕΡΙΑ ΣΟΦΙΑΣ Café Ünal ИВАНОВ 日本 カード";
    for (std::size_t len : {std::size_t{72}, std::size_t{4096}}) {
        std::string a, m;
        while (a.size() < len) a += ascii;
        while (m.size() < len) m += mixed;
        std::printf("%5zu-byte texts: ascii %.0f MB/s, mixed %.0f MB/s\n", a.size(), bench(a), bench(m));
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
        const std::string arg = from_hex(line.size() > 2 ? std::string_view(line).substr(2) : "");
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
