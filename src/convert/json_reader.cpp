#include "convert/json_reader.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "convert/json_text.h"
#include "unicode/unicode.h"
#include "unicode/utf8.h"
#include "util/digits.h"
#include "util/pow10.h"
#include "util/swar.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvanta::convert::json {
namespace {

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The exponent bookkeeping saturates instead of overflowing: an exponent
// that far out is clamped long before it could change the result.
std::int32_t saturating_add(std::int32_t a, std::int64_t b) {
    const std::int64_t r = std::int64_t{a} + b;  // |b| <= 2^31, no 64-bit overflow
    if (r > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (r < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(r);
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Eight bytes at a time: a high bit set in each byte that a string holds
// only escaped, or that is non-ASCII; the lowest flag is exact.
inline std::uint64_t special_mask(std::uint64_t x) { return escaped_bytes(x) | (x & swar::kHighs); }

inline bool plain_ascii(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Moves `p` over plain ASCII sixteen bytes at a time, where the processor
// has the instructions (every x86-64); true if it stopped at a byte that is
// not plain. A signed comparison below 0x20 also takes every byte from 0x80.
inline bool skip_plain16(const unsigned char*& p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special =
            _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special))) {
            p += std::countr_zero(mask);
            return true;
        }
    }
#else
    (void)p;
    (void)end;
#endif
    return false;
}


// One bit per open container of a skipped value: set for an object, clear
// for an array. The first 64 levels need no allocation.
class BitStack {
public:
    bool empty() const { return size_ == 0; }
    void push(bool bit) {
        const std::size_t i = size_++;
        std::uint64_t& word = i < 64 ? low_ : slot(i - 64);
        const std::uint64_t mask = std::uint64_t{1} << (i % 64);
        word = bit ? (word | mask) : (word & ~mask);
    }
    bool top() const {
        const std::size_t i = size_ - 1;
        const std::uint64_t word = i < 64 ? low_ : high_[(i - 64) / 64];
        return (word >> (i % 64)) & 1u;
    }
    void pop() { --size_; }

private:
    std::uint64_t& slot(std::size_t i) {
        if (i / 64 == high_.size()) high_.push_back(0);
        return high_[i / 64];
    }
    std::uint64_t low_ = 0;
    std::vector<std::uint64_t> high_;
    std::size_t size_ = 0;
};

void describe_number(const Number& n, std::string& out) {
    switch (n.kind) {
        case Number::Kind::Unsigned:
            out += "integer `";
            digits::append(n.u, out);
            break;
        case Number::Kind::Negative:
            out += "integer `-";
            digits::append(0 - static_cast<std::uint64_t>(n.i), out);
            break;
        case Number::Kind::Float:
            out += "floating point `";
            append_float(n.f, out);
            break;
    }
    out += '`';
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

bool Reader::fail_at_index(const char* message, std::size_t index) {
    message_ = message;
    error_pos_ = index < n_ ? index + 1 : n_;
    return false;
}

bool Reader::fail_at_cursor(const char* message) { return fail_at_index(message, pos_); }

bool Reader::fail_consumed(std::string message) {
    message_ = std::move(message);
    error_pos_ = pos_;
    return false;
}

bool Reader::fail_invalid_length(std::size_t index, std::string_view length_text) {
    std::string m = "invalid length ";
    digits::append(index, m);
    m += ", expected ";
    m += length_text;
    return fail_consumed(std::move(m));
}

bool Reader::fail_invalid_type(std::string_view expected) {
    std::string found;
    if (!describe_found(found)) return false;
    std::string m = "invalid type: ";
    m += found;
    m += ", expected ";
    m += expected;
    return fail_consumed(std::move(m));
}

bool Reader::describe_found(std::string& found) {
    const int c = peek();
    switch (c) {
        case '[':
            found = "sequence";
            return true;
        case '{':
            found = "map";
            return true;
        case 'n':
            found = "null";
            return parse_literal("ull");
        case 't':
            found = "boolean `true`";
            return parse_literal("rue");
        case 'f':
            found = "boolean `false`";
            return parse_literal("alse");
        case '"': {
            std::string_view text;
            if (!parse_string(nullptr, &text)) return false;
            found = "string ";
            unicode::append_quoted(text, found);
            return true;
        }
        case -1:
            return fail_at_cursor("EOF while parsing a value");
        default:
            if (c == '-' || is_digit(c)) {
                Number n;
                if (!parse_number(n, true)) return false;
                describe_number(n, found);
                return true;
            }
            return fail_at_cursor("expected value");
    }
}

bool Reader::within_key(std::string_view key) {
    path_in_key(path_, key);
    return false;
}

bool Reader::within_index(std::size_t index) {
    path_in_index(path_, index);
    return false;
}

ReadError Reader::error() const {
    const std::size_t p = error_pos_;
    std::size_t line = 1;
    std::size_t line_start = 0;
    const unsigned char* from = s_;
    const unsigned char* end = s_ + p;
    while (from < end) {
        const void* hit = std::memchr(from, '\n', static_cast<std::size_t>(end - from));
        if (!hit) break;
        ++line;
        from = static_cast<const unsigned char*>(hit) + 1;
        line_start = static_cast<std::size_t>(from - s_);
    }
    const std::size_t column = p - line_start;
    ReadError error{message_, {}};
    error.message += " at line ";
    digits::append(line, error.message);
    error.message += " column ";
    digits::append(column, error.message);
    error.note = path_note(path_);
    if (!error.note.empty()) {
        error.note += " (line ";
        digits::append(line, error.note);
        error.note += ", column ";
        digits::append(column, error.note);
        error.note += ')';
    }
    return error;
}

// ---------------------------------------------------------------------------
// A fed text

Reader::Reader(const Input& input, TextArena& arena)
    : Reader(input.source ? std::string_view() : input.text, arena) {
    if (!input.source) return;
    source_ = input.source;
    source_->rewind();
    fed_ = input.room.data();
    room_ = input.room.size();
    ahead_ = input.ahead;
    release_ = input.release;
    s_ = fed_;
    feed();
}

// Supplies the text at least `ahead_` bytes beyond the cursor, or to its end.
// Bytes are only ever appended, so every view of what is supplied stays
// valid; a source that fails ends the text where it stands.
void Reader::feed() {
    while (!fed_to_end_ && n_ - pos_ < ahead_) {
        const std::size_t got = source_->next(fed_ + n_, room_ - n_);
        if (got == 0 || got == Source::kFailed || got > room_ - n_) {
            fed_to_end_ = true;
        } else {
            n_ += got;
        }
    }
}

// The bytes of a diverted list's elements from `from` up to the cursor are
// no longer read, and no view of them is kept: what is not yet read moves
// down to `from`, so that the room the text takes stays a window's.
void Reader::reuse(std::size_t from) noexcept {
    std::memmove(fed_ + from, fed_ + pos_, n_ - pos_);
    n_ -= pos_ - from;
    pos_ = from;
}

Step Reader::item() {
    if (source_ && n_ - pos_ < ahead_) feed();
    return Step::Item;
}

// ---------------------------------------------------------------------------
// Structure

Step Reader::open_object() {
    ++pos_;  // '{'
    const int c = peek();
    if (c == '}') {
        ++pos_;
        return Step::End;
    }
    if (c == '"') return item();
    fail_at_cursor(c < 0 ? "EOF while parsing an object" : "key must be a string");
    return Step::Fail;
}

// A comma must be followed by a member. Before '}' a record names the
// trailing comma; a skipped object only knows that a key was expected. At
// the end of the text a record was promised a member's value, while a
// skipped object is an object left open.
Step Reader::after_member(bool skipped) {
    int c = peek();
    if (c == ',') {
        ++pos_;
        c = peek();
        if (c == '"') return item();
        const char* eof = skipped ? "EOF while parsing an object" : "EOF while parsing a value";
        fail_at_cursor(c == '}' && !skipped ? "trailing comma" : c < 0 ? eof : "key must be a string");
        return Step::Fail;
    }
    if (c == '}') {
        ++pos_;
        return Step::End;
    }
    fail_at_cursor(c < 0 ? "EOF while parsing an object" : "expected `,` or `}`");
    return Step::Fail;
}

Step Reader::open_list() {
    ++pos_;  // '['
    const int c = peek();
    if (c == ']') {
        ++pos_;
        return Step::End;
    }
    if (c >= 0) return item();
    fail_at_cursor("EOF while parsing a list");
    return Step::Fail;
}

// A comma must be followed by an element, whose reader reports the end of
// the text or a byte that starts no value. Before ']' a read list names the
// trailing comma; in a skipped one the ']' is just not a value.
Step Reader::after_element(bool skipped) {
    int c = peek();
    if (c == ',') {
        ++pos_;
        if (skipped || peek() != ']') return item();
        fail_at_cursor("trailing comma");
        return Step::Fail;
    }
    if (c == ']') {
        ++pos_;
        return Step::End;
    }
    fail_at_cursor(c < 0 ? "EOF while parsing a list" : "expected `,` or `]`");
    return Step::Fail;
}

// The nesting count: a container's first step takes a level, and the step
// that consumes its closing bracket or brace gives it back.
bool Reader::take_level() {
    if (--depth_left_ == 0) return fail_at_cursor("recursion limit exceeded");
    return true;
}

Step Reader::end_step(Step step) {
    if (step == Step::End) ++depth_left_;
    return step;
}

Step Reader::object_first() { return take_level() ? end_step(open_object()) : Step::Fail; }

Step Reader::object_next() { return end_step(after_member(false)); }

bool Reader::object_colon() {
    const int c = peek();
    if (c == ':') {
        ++pos_;
        return true;
    }
    return fail_at_cursor(c < 0 ? "EOF while parsing an object" : "expected `:`");
}

Step Reader::list_first() { return take_level() ? end_step(open_list()) : Step::Fail; }

Step Reader::list_next() { return end_step(after_element(false)); }

// After the last field the array must close: any other byte is one element
// too many, which is trailing text rather than a missing separator, and so
// is a comma that the end of the text follows.
bool Reader::record_array_end() {
    int c = peek();
    if (c == ']') {
        ++pos_;
        end_step(Step::End);
        return true;
    }
    if (c == ',') {
        ++pos_;
        c = peek();
        return fail_at_cursor(c == ']' ? "trailing comma" : "trailing characters");
    }
    return fail_at_cursor(c < 0 ? "EOF while parsing a list" : "trailing characters");
}

bool Reader::finish() {
    while (peek() < 0) {
        if (!source_ || fed_to_end_) return true;
        feed();
    }
    return fail_at_cursor("trailing characters");
}

// ---------------------------------------------------------------------------
// Scalars

bool Reader::parse_literal(const char* rest) {
    ++pos_;  // the first letter, already matched by the caller
    for (; *rest; ++rest, ++pos_) {
        if (pos_ == n_) return fail_at_cursor("EOF while parsing a value");
        if (s_[pos_] != static_cast<unsigned char>(*rest)) return fail_at_cursor("expected ident");
    }
    return true;
}

bool Reader::read_null() { return parse_literal("ull"); }

namespace {

// One number, scanned in named steps: the integer part, the fraction, the
// exponent part, then the value. The steps gather the decimal digits into a
// u64 significand with the decimal exponent that dropped integer digits and
// taken fraction digits leave, and the explicit exponent part in an i32
// counter. A failed step leaves the message and its position p.
struct NumberScan {
    const unsigned char* s;
    std::size_t n;
    std::size_t i;   // the next byte
    bool evaluate;   // false for a skipped number: grammar only, no range checks

    std::uint64_t significand = 0;
    std::int32_t exponent = 0;
    bool full = false;  // the significand cannot take another digit; later digits are dropped
    bool negative = false;
    bool integral = true;  // no fraction and no exponent part
    bool exp_negative = false;
    bool exp_overflow = false;  // the exponent part passed the i32 range (the value is then 0)
    std::int32_t exp_value = 0;

    const char* error = nullptr;
    std::size_t error_pos = 0;

    bool digit_at_i() const { return i < n && is_digit(s[i]); }

    // The byte at index `at` cannot stand there (p is its 1-based offset).
    bool fail_at(const char* message, std::size_t at) {
        error = message;
        error_pos = at < n ? at + 1 : n;
        return false;
    }
    // A digit is required at i. The end of the text there cuts off a number
    // that is being read; in a skipped number, and for any other byte, the
    // number is malformed.
    bool fail_digit_required() {
        return fail_at(i == n && evaluate ? "EOF while parsing a value" : "invalid number", i);
    }

    // Appends a digit unless the significand is full; reports whether it did.
    bool take(unsigned digit) {
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        if (!full && significand >= kMax / 10 && (significand > kMax / 10 || digit > kMax % 10)) full = true;
        if (full) return false;
        significand = significand * 10 + digit;
        return true;
    }

    // An optional '-', then a single 0 or digits starting 1-9; digits that
    // no longer fit the significand raise the exponent.
    bool integer_part() {
        negative = s[i] == '-';
        if (negative) ++i;
        if (!digit_at_i()) return fail_digit_required();
        if (s[i] == '0') {
            ++i;
            return !digit_at_i() || fail_at("invalid number", i);
        }
        for (; digit_at_i(); ++i)
            if (!take(static_cast<unsigned>(s[i] - '0'))) exponent = saturating_add(exponent, 1);
        return true;
    }

    // '.' and at least one digit; each digit taken lowers the exponent.
    bool fraction_part() {
        if (i == n || s[i] != '.') return true;
        integral = false;
        ++i;
        if (!digit_at_i()) return fail_digit_required();
        for (; digit_at_i(); ++i)
            if (take(static_cast<unsigned>(s[i] - '0'))) exponent = saturating_add(exponent, -1);
        return true;
    }

    // 'e' or 'E', an optional sign and at least one digit. The digit that
    // would take the counter past its maximum fails a read number with a
    // non-zero significand and a positive exponent right there; otherwise
    // the remaining digits are consumed and the value is 0.
    bool exponent_part() {
        if (i == n || (s[i] != 'e' && s[i] != 'E')) return true;
        integral = false;
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
        if (!digit_at_i()) return fail_digit_required();
        for (; digit_at_i(); ++i) {
            if (exp_overflow) continue;
            const int digit = s[i] - '0';
            if (exp_value > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
                if (evaluate && significand != 0 && !exp_negative) return fail_at("number out of range", i);
                exp_overflow = true;
            } else {
                exp_value = exp_value * 10 + digit;
            }
        }
        return true;
    }

    // An exact integer when there is no fraction or exponent and it fits 64
    // bits, else the significand scaled by one table power. A result out of
    // range is reported at the end of the number.
    bool value(Number& out) {
        if (integral && !full) {
            if (!negative) {
                out.kind = Number::Kind::Unsigned;
                out.u = significand;
                return true;
            }
            constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
            if (significand != 0 && significand <= kMinMagnitude) {
                out.kind = Number::Kind::Negative;
                out.i = significand == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                     : -static_cast<std::int64_t>(significand);
                return true;
            }
        }
        double v = static_cast<double>(significand);
        if (exp_overflow) {
            v = 0.0;  // a non-zero significand with a positive exponent already failed
        } else if (!scale(v)) {
            error = "number out of range";
            error_pos = i;
            return false;
        }
        out.kind = Number::Kind::Float;
        out.f = negative ? -v : v;
        return true;
    }

    // One multiplication or division by the double nearest to a power of
    // ten: fast, and deliberately not always the correctly rounded double.
    bool scale(double& v) const {
        std::int32_t e = saturating_add(exponent, exp_negative ? -std::int64_t{exp_value} : exp_value);
        if (e >= 0) {
            if (significand == 0) return true;
            if (e > 308) return false;
            v *= pow10::kDouble[e];
            return !std::isinf(v);
        }
        while (e < -308 && v != 0.0) {
            v /= 1e308;
            e += 308;
        }
        if (v != 0.0) v /= pow10::kDouble[-e];
        return true;
    }
};

}  // namespace

// Cursor at '-' or a digit.
bool Reader::parse_number(Number& out, bool evaluate) {
    NumberScan scan{s_, n_, pos_, evaluate};
    if (scan.integer_part() && scan.fraction_part() && scan.exponent_part()) {
        pos_ = scan.i;
        if (!evaluate || scan.value(out)) return true;
    }
    message_ = scan.error;
    error_pos_ = scan.error_pos;
    return false;
}

bool Reader::read_f64(double& out) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return fail_invalid_type("f64");
    Number n;
    if (!parse_number(n, true)) return false;
    switch (n.kind) {
        case Number::Kind::Unsigned: out = static_cast<double>(n.u); break;
        case Number::Kind::Negative: out = static_cast<double>(n.i); break;
        case Number::Kind::Float: out = n.f; break;
    }
    return true;
}

bool Reader::read_u32(std::uint32_t& out) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return fail_invalid_type("u32");
    Number n;
    if (!parse_number(n, true)) return false;
    if (n.kind == Number::Kind::Unsigned && n.u <= std::numeric_limits<std::uint32_t>::max()) {
        out = static_cast<std::uint32_t>(n.u);
        return true;
    }
    std::string m = n.kind == Number::Kind::Float ? "invalid type: " : "invalid value: ";
    describe_number(n, m);
    m += ", expected u32";
    return fail_consumed(std::move(m));
}

// ---------------------------------------------------------------------------
// Strings

// Advances over bytes that need no decoding (printable ASCII other than '"'
// and '\\', and well-formed UTF-8); stops at '"', '\\', a control byte or the end.
bool Reader::scan_unescaped() {
    const unsigned char* p = s_ + pos_;
    const unsigned char* const end = s_ + n_;
    for (;;) {
        bool hit = skip_plain16(p, end);
        while (!hit && end - p >= 8) {
            if (const std::uint64_t mask = special_mask(swar::load8(p))) {
                p += swar::first_flagged(mask);
                hit = true;
            } else {
                p += 8;
            }
        }
        if (!hit)
            while (p < end && plain_ascii(*p)) ++p;
        if (p == end || *p < 0x80) break;  // the end, '"', '\\' or a control byte
        // Every stored text is valid UTF-8: an ill-formed sequence is refused
        // at the first byte that breaks it.
        const unicode::Utf8Sequence seq = unicode::decode_utf8_sequence(p, end);
        if (seq.len == 0) {
            const unsigned char* bad = p + seq.bad;
            pos_ = static_cast<std::size_t>(bad - s_);
            return fail_at_cursor(bad == end ? "EOF while parsing a string" : "invalid unicode code point");
        }
        p += seq.len;
    }
    pos_ = static_cast<std::size_t>(p - s_);
    return true;
}

bool Reader::parse_hex4(std::uint32_t& out) {
    if (n_ - pos_ < 4) {
        pos_ = n_;
        return fail_at_cursor("EOF while parsing a string");
    }
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const int h = hex_value(s_[pos_ + k]);
        if (h < 0) return fail_at_index("invalid escape", pos_ + k);
        v = v << 4 | static_cast<std::uint32_t>(h);
    }
    pos_ += 4;
    out = v;
    return true;
}

// Cursor just after a backslash. Surrogate errors point at the last hex
// digit of the escape that showed the problem; a leading surrogate followed
// by anything but `\u` points at the byte that breaks the pair.
bool Reader::parse_escape(std::string& sink, bool skipped) {
    if (pos_ == n_) return fail_at_cursor("EOF while parsing a string");
    char plain;
    switch (s_[pos_]) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            ++pos_;
            std::uint32_t cp;
            if (!parse_hex4(cp)) return false;
            if (skipped) return true;  // a skipped text is never decoded, so any code unit will do
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at_index("lone leading surrogate in hex escape", pos_ - 1);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                for (const char expected : {'\\', 'u'}) {
                    if (pos_ == n_) return fail_at_cursor("EOF while parsing a string");
                    if (s_[pos_] != expected) return fail_at_cursor("unexpected end of hex escape");
                    ++pos_;
                }
                std::uint32_t low;
                if (!parse_hex4(low)) return false;
                if (low < 0xDC00 || low > 0xDFFF)
                    return fail_at_index("lone leading surrogate in hex escape", pos_ - 1);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            unicode::append_utf8(cp, sink);
            return true;
        }
        default:
            return fail_at_cursor("invalid escape");
    }
    sink += plain;
    ++pos_;
    return true;
}

// Cursor at the opening quote. With `sink`, the decoded text is appended to
// it; otherwise `view` gets the text, pointing into the input unless an
// escape forced decoding into the scratch buffer.
bool Reader::parse_string(std::string* sink, std::string_view* view, bool skipped) {
    ++pos_;
    std::size_t run = pos_;
    std::string* out = sink;
    for (;;) {
        if (!scan_unescaped()) return false;
        if (pos_ == n_) return fail_at_cursor("EOF while parsing a string");
        const unsigned char c = s_[pos_];
        if (c == '"') {
            const char* run_start = reinterpret_cast<const char*>(s_ + run);
            if (out) out->append(run_start, pos_ - run);
            if (view) *view = out ? std::string_view(*out) : std::string_view(run_start, pos_ - run);
            ++pos_;
            return true;
        }
        if (c != '\\') return fail_at_cursor("control character (\\u0000-\\u001F) found while parsing a string");
        if (!out) {
            out = &scratch_;
            scratch_.clear();
        }
        out->append(reinterpret_cast<const char*>(s_ + run), pos_ - run);
        ++pos_;
        if (!parse_escape(*out, skipped)) return false;
        run = pos_;
    }
}

bool Reader::read_string_view(std::string_view& out) { return parse_string(nullptr, &out); }

bool Reader::read_text(std::string_view& out) {
    if (peek() != '"') return fail_invalid_type("a string");
    if (!parse_string(nullptr, &out)) return false;
    // Only a string with escapes was decoded into the scratch buffer, which
    // the next string reuses: keep its text for the call.
    // A fed text's bytes are let go as the read moves on: outside a diverted
    // element, whose texts are read before that, keep a copy.
    if (out.data() == scratch_.data() || (source_ && !in_element_)) out = arena_.add(out);
    return true;
}

bool Reader::read_text_form(std::string_view& out) {
    if (peek() != '"') return fail_invalid_type("a string");
    return parse_string(nullptr, &out);
}

// ---------------------------------------------------------------------------
// Enumerations

bool Reader::variant_begin(std::string_view& name, bool& object_form) {
    int c = peek();
    object_form = false;
    if (c == '"') return parse_string(nullptr, &name);
    if (c != '{') return fail_at_cursor(c < 0 ? "EOF while parsing a value" : "expected value");
    if (!take_level()) return false;
    ++pos_;
    object_form = true;
    c = peek();
    if (c == '"') return parse_string(nullptr, &name);
    if (c == '}') return fail_at_cursor("expected value");
    return fail_invalid_type("variant identifier");
}

bool Reader::variant_end() {
    if (!object_colon()) return false;
    if (peek() != 'n') return fail_invalid_type("unit");
    if (!parse_literal("ull")) return false;
    const int c = peek();
    if (c != '}') return fail_at_cursor(c < 0 ? "EOF while parsing an object" : "expected value");
    ++pos_;
    end_step(Step::End);
    return true;
}

// ---------------------------------------------------------------------------
// Skipping

bool Reader::skip_scalar(int c) {
    switch (c) {
        case '"': {
            std::string_view ignored;
            return parse_string(nullptr, &ignored, true);
        }
        case 't':
            return parse_literal("rue");
        case 'f':
            return parse_literal("alse");
        case 'n':
            return parse_literal("ull");
        case -1:
            return fail_at_cursor("EOF while parsing a value");
        default: {
            if (c != '-' && !is_digit(c)) return fail_at_cursor("expected value");
            // A skipped number is never evaluated.
            Number unused;
            return parse_number(unused, false);
        }
    }
}

bool Reader::skip_value() {
    BitStack open;
    std::string_view ignored;
    auto skip_key = [&] { return parse_string(nullptr, &ignored, true) && object_colon(); };
    for (;;) {
        // A value starts at the cursor.
        const int c = peek();
        switch (c) {
            case '{': {
                const Step step = open_object();
                if (step == Step::Fail) return false;
                if (step == Step::Item) {
                    if (!skip_key()) return false;
                    open.push(true);
                    continue;
                }
                break;
            }
            case '[': {
                const Step step = open_list();
                if (step == Step::Fail) return false;
                if (step == Step::Item) {
                    open.push(false);
                    continue;
                }
                break;
            }
            default:
                if (!skip_scalar(c)) return false;
                break;
        }
        // A value is complete: close containers until one expects another item.
        for (;;) {
            if (open.empty()) return true;
            const Step step = open.top() ? after_member(true) : after_element(true);
            if (step == Step::Fail) return false;
            if (step == Step::Item) {
                if (open.top() && !skip_key()) return false;
                break;
            }
            open.pop();
        }
    }
}

}  // namespace morvanta::convert::json
