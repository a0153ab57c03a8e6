// Reading request records from UTF-8 JSON text.
//
// A streaming reader: the templates below walk a record's field declaration
// and pull tokens from `json::Reader`, which owns every byte-level concern
// (whitespace, punctuation, strings, numbers, skipping unknown values, the
// depth counter and error positions). There is no intermediate document.
//
// Every read step returns false on failure, having recorded the error. While
// the failure unwinds, each record and list level prepends its own path
// segment (a field's external key, a list index), so the location of a
// failure is built only when there is one.
//
// Every failure is a message plus a byte position p. Syntax errors point at
// the byte that cannot stand where it is (p = its 1-based offset, capped at
// the text length); data errors point at the end of the key or value just
// read (p = bytes consumed). The final text ends " at line L column C".
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "convert/json_text.h"
#include "convert/read_error.h"
#include "convert/record.h"
#include "util/arena.h"
#include "util/expected.h"

namespace morvanta::convert {

namespace json {

// A JSON number as read: integers without fraction or exponent that fit keep
// their exact value; everything else (including `-0`) is a double.
struct Number {
    enum class Kind : std::uint8_t { Unsigned, Negative, Float };
    Kind kind = Kind::Unsigned;
    std::uint64_t u = 0;  // Unsigned
    std::int64_t i = 0;   // Negative (always < 0)
    double f = 0.0;       // Float
};

// Where the elements of one list go instead of into it: each is handed to
// `take` as soon as it is read, or, with no `take`, checked for grammar only
// and counted (for a first pass that needs the rest of the record). `take`
// returns true when no element handed to it so far is read any more. The
// list itself stays empty; `count` is the number of elements met.
struct Diversion {
    const void* list = nullptr;
    bool (*take)(void* context, const void* element) = nullptr;
    void* context = nullptr;
    std::size_t count = 0;
};

// Where the bytes of a text read a piece at a time come from (see Input).
class Source {
public:
    static constexpr std::size_t kFailed = static_cast<std::size_t>(-1);
    // Writes the text's next bytes at `out`, at most `room` of them, and
    // returns how many: 0 at the end of the text, kFailed where they cannot
    // be had (the read then fails; the caller tells it from a bad text).
    virtual std::size_t next(unsigned char* out, std::size_t room) = 0;
    // Back to the text's first byte, for another read.
    virtual void rewind() = 0;

protected:
    ~Source() = default;
};

// A text held whole, handed out at most `piece` bytes at a time: a fed read
// of it must give what a whole read gives (the native tests and the fuzzer
// check that with small pieces and a small window).
class PiecesSource final : public Source {
public:
    PiecesSource(std::string_view text, std::size_t piece) noexcept : text_(text), piece_(piece) {}
    std::size_t next(unsigned char* out, std::size_t room) override {
        const std::size_t size = std::min({piece_, room, text_.size() - at_});
        std::memcpy(out, text_.data() + at_, size);
        at_ += size;
        return size;
    }
    void rewind() override { at_ = 0; }

private:
    std::string_view text_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

// What a Reader reads: the whole `text`, or, with a `source`, a text that
// `source` hands over a piece at a time into `room` (which must hold the
// whole text, and whose bytes never move). A fed read keeps only a window of
// the text in memory: the elements of a diverted list are let go once their
// diversion no longer reads them, and every text outside such an element is
// copied into the arena. The text is kept supplied `ahead` bytes beyond each
// element and member the read comes to, and the room of elements is reused
// once they fill `release` bytes: what is supplied but not yet read (at most
// `ahead` and one piece of the source) moves down over them, so that the
// moves come to a small share of the text. A fed read fails wherever a single
// token, with the whitespace around it, is longer than `ahead`; its caller
// then reads the text whole, which also reports the failures of a fed read
// exactly.
struct Input {
    static constexpr std::size_t kAhead = std::size_t{256} << 10;
    static constexpr std::size_t kRelease = std::size_t{4} << 20;

    static Input whole(std::string_view text) noexcept {
        Input input;
        input.text = text;
        return input;
    }
    static Input fed(Source& source, std::span<unsigned char> room) noexcept {
        Input input;
        input.source = &source;
        input.room = room;
        return input;
    }

    std::string_view text;
    Source* source = nullptr;
    std::span<unsigned char> room;
    std::size_t ahead = kAhead;
    std::size_t release = kRelease;
};

class Reader {
public:
    // Texts read without escapes view `text`; decoded ones go to `arena`.
    Reader(std::string_view text, TextArena& arena) noexcept
        : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()), arena_(arena) {}
    // A fed input is rewound and read from its first byte.
    Reader(const Input& input, TextArena& arena);

    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Skips whitespace and returns the next byte without consuming it, or -1 at the end.
    int peek() noexcept {
        while (pos_ < n_) {
            unsigned char c = s_[pos_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
            ++pos_;
        }
        return -1;
    }
    // The containers of records, lists and enumeration objects count their
    // nesting: the first step of each (object_first, list_first, the object
    // form of variant_begin) takes one level from `depth_left_`, and the step
    // that consumes its closing bracket or brace gives it back.

    // Cursor at '{' (already checked by peek): consumes it and reports
    // whether a member (the cursor then at its key's quote) or the closing
    // brace follows.
    Step object_first();
    // A member's key written as compact text writes it (KeyLiteral): with
    // `first`, `{"key":` at the object's '{', else `,"key":` after a member,
    // or `, "key":` as Python's json.dumps writes it by default (the space
    // after the ':' is whitespace that the value's read skips). Takes the
    // bytes, and for a first member a nesting level, as object_first or
    // object_next, the key's read and object_colon would; false, with
    // nothing taken, where the bytes differ, the text is fed, or no level is
    // left (the step by step read then reports what it finds).
    bool take_key(std::string_view literal, bool first) noexcept {
        if (source_) return false;
        const std::size_t space = !first && n_ - pos_ >= 2 && s_[pos_] == ',' && s_[pos_ + 1] == ' ';
        const std::size_t size = literal.size() + space;
        if (n_ - pos_ < size || std::memcmp(s_ + pos_ + 2 * space, literal.data() + space, literal.size() - space) != 0)
            return false;
        if (first) {
            if (depth_left_ <= 1) return false;
            --depth_left_;
        }
        pos_ += size;
        return true;
    }
    // After a member's key: consumes the ':'.
    bool object_colon();
    // After a member's value: consumes ',' (Item) or '}' (End).
    Step object_next();
    // Cursor at '[': consumes it and reports whether an element or ']' follows.
    Step list_first();
    // After an element: consumes ',' (Item) or ']' (End).
    Step list_next();
    // After the last field of a record written as an array: consumes ']'.
    bool record_array_end();

    // Cursor at '"'. The view points into the text, or into a scratch buffer
    // when escapes had to be decoded; it is valid until the next string read.
    bool read_string_view(std::string_view& out);
    // Cursor anywhere before a value: a JSON string. `out` views the text
    // when the string has no escape, else its decoded form in the arena.
    bool read_text(std::string_view& out);
    bool read_f64(double& out);
    bool read_u32(std::uint32_t& out);
    // Cursor at 'n': the literal null.
    bool read_null();
    // Any well-formed value, without depth limit and without recursion.
    bool skip_value();

    // Enumeration value: a string, or '{' name ':' null '}'. Sets `object_form`
    // so the caller can finish the object after looking the name up.
    bool variant_begin(std::string_view& name, bool& object_form);
    bool variant_end();

    // Text-form values (such as a calendar month): a JSON string.
    bool read_text_form(std::string_view& out);

    // After the top-level value: only whitespace may follow.
    bool finish();

    // Sends the elements of the list at `diversion->list` there when it is read.
    void divert(Diversion* diversion) noexcept { diversion_ = diversion; }
    // The cursor's byte offset in what is supplied.
    std::size_t offset() const noexcept { return pos_; }
    // Inside the element of a diverted list, texts may view a fed text: the
    // element is handed over before its bytes are let go.
    void enter_element(bool inside) noexcept { in_element_ = inside; }
    // A diverted list's elements from byte `from` up to the cursor are no
    // longer read: a fed read reuses their room once they fill `release_`.
    void settle(std::size_t from) noexcept {
        if (source_ && pos_ - from >= release_) reuse(from);
    }
    Diversion* diversion_for(const void* list) const noexcept {
        return diversion_ && diversion_->list == list ? diversion_ : nullptr;
    }

    // "invalid type: {found}, expected {expected}" for the value under the
    // cursor; a scalar is consumed first, an array or object is not.
    bool fail_invalid_type(std::string_view expected);
    // A data error at the end of what has been consumed.
    bool fail_consumed(std::string message);
    // "invalid length {index}, expected {length_text}".
    bool fail_invalid_length(std::size_t index, std::string_view length_text);

    // While a failure unwinds: the failed read was the value of the field
    // with external key `key`, or the element at `index` of a list. Both
    // return false, so a caller can `return r.within_key(...)`.
    bool within_key(std::string_view key);
    bool within_index(std::size_t index);

    // The recorded message with " at line L column C", and the note
    // "at <path> (line L, column C)" (empty when the failure has no path).
    ReadError error() const;

private:
    bool fail_at_cursor(const char* message);
    bool fail_at_index(const char* message, std::size_t index);
    bool parse_literal(const char* rest);
    // A string, literal or number starting with byte c, for grammar only.
    bool skip_scalar(int c);
    bool parse_number(Number& out, bool evaluate);
    // `skipped`: the text of a skipped value, whose escapes are checked for
    // grammar only.
    bool parse_string(std::string* sink, std::string_view* view, bool skipped = false);
    bool parse_escape(std::string& sink, bool skipped);
    bool parse_hex4(std::uint32_t& out);
    bool scan_unescaped();
    bool describe_found(std::string& found);
    // The container steps without the depth count. `skipped` selects the
    // grammar-only rules of a skipped value for a comma before the end.
    // Inline: they are small, used only by json_reader.cpp, and on the path
    // of every member and element.
    inline Step open_object();
    inline Step open_list();
    inline Step after_member(bool skipped);
    inline Step after_element(bool skipped);
    inline bool take_level();
    inline Step end_step(Step step);
    // Step::Item, with a fed text supplied `ahead_` beyond the cursor.
    inline Step item();
    void feed();
    void reuse(std::size_t from) noexcept;

    const unsigned char* s_;
    std::size_t n_;
    std::size_t pos_ = 0;
    int depth_left_ = 128;
    TextArena& arena_;
    std::string scratch_;
    Diversion* diversion_ = nullptr;
    Source* source_ = nullptr;  // a fed read: the source writes at fed_ (== s_), up to n_
    unsigned char* fed_ = nullptr;
    std::size_t room_ = 0;
    std::size_t ahead_ = 0;
    std::size_t release_ = 0;
    bool fed_to_end_ = false;
    bool in_element_ = false;
    std::string message_;
    std::size_t error_pos_ = 0;
    // Where the failure happened, outermost segment first: ".key" or "[i]".
    std::string path_;
};

template <class M>
bool read_value(Reader& r, M& out);

template <RecordType T>
bool read_record(Reader& r, T& out);

// The elements of a diverted list, cursor at its '[' (see Diversion).
template <class E>
bool read_diverted(Reader& r, Diversion& to) {
    const std::size_t first = r.offset() + 1;
    Step step = r.list_first();
    while (step == Step::Item) {
        if (to.take) {
            E element{};
            r.enter_element(true);
            const bool read = read_value(r, element);
            r.enter_element(false);
            if (!read) return r.within_index(to.count);
            if (to.take(to.context, &element)) r.settle(first);
        } else if (!r.skip_value()) {
            return r.within_index(to.count);
        } else {
            r.settle(first);
        }
        ++to.count;
        step = r.list_next();
    }
    return step == Step::End;
}

template <EnumType E>
bool read_enum(Reader& r, E& out) {
    std::string_view name;
    bool object_form = false;
    if (!r.variant_begin(name, object_form)) return false;
    std::optional<E> value = enum_from_name<E>(name);
    if (!value) return r.fail_consumed(unknown_variant<E>(name));
    out = *value;
    return !object_form || r.variant_end();
}

template <class M>
bool read_value(Reader& r, M& out) {
    if constexpr (std::is_same_v<M, double>) {
        return r.read_f64(out);
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        return r.read_u32(out);
    } else if constexpr (std::is_same_v<M, std::string_view>) {
        return r.read_text(out);
    } else if constexpr (is_optional_v<M>) {
        if (r.peek() == 'n') {
            out.reset();
            return r.read_null();
        }
        return read_value(r, out.emplace());
    } else if constexpr (is_vector_v<M>) {
        if (r.peek() != '[') return r.fail_invalid_type("a sequence");
        out.clear();
        if (Diversion* diverted = r.diversion_for(&out)) return read_diverted<typename M::value_type>(r, *diverted);
        Step step = r.list_first();
        while (step == Step::Item) {
            if (!read_value(r, out.emplace_back())) return r.within_index(out.size() - 1);
            step = r.list_next();
        }
        return step == Step::End;
    } else if constexpr (EnumType<M>) {
        return read_enum(r, out);
    } else if constexpr (TextFormType<M>) {
        std::string_view text;
        if (!r.read_text_form(text)) return false;
        auto parsed = TextForm<M>::parse(text);
        if (!parsed) return r.fail_consumed(std::move(parsed.error()));
        out = std::move(*parsed);
        return true;
    } else if constexpr (RecordType<M>) {
        return read_record(r, out);
    } else {
        static_assert(!sizeof(M), "this member type cannot be read from JSON");
    }
}

// The members that lead an object as compact text writes them (no
// whitespace, the keys in declaration order), each key taken in one compare
// instead of being read and looked up; every response and most requests
// are written so. Returns how many were read, the cursor after the last
// value (0: nothing taken), or -1 where a value's read failed.
template <RecordType T>
int read_compact_members(Reader& r, T& out) {
    int read = 0;
    bool more = true;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        if (!more || !r.take_key(KeyLiteral<T, I, I == 0 ? '{' : ','>::text, I == 0)) {
            more = false;
            return;
        }
        if (!read_value(r, out.*(fld.member))) {
            r.within_key(fld.key);
            more = false;
            read = -1;
            return;
        }
        ++read;
    });
    return read;
}

// Object form: members in any order, unknown ones skipped; missing fields
// resolved after the closing brace. `out` starts default-initialised, which
// is what optional (absent) and defaulted fields keep when missing.
template <RecordType T>
bool read_record_object(Reader& r, T& out) {
    static_assert(field_count<T> < 64, "one bit a field");
    const int compact = read_compact_members(r, out);
    if (compact < 0) return false;
    // The members after those, if any, are read one by one.
    std::uint64_t seen = (std::uint64_t{1} << compact) - 1;
    Step step = compact > 0 ? r.object_next() : r.object_first();
    while (step == Step::Item) {
        std::string_view key;
        if (!r.read_string_view(key)) return false;
        const int index = find_field<T>(key);
        if (index >= 0 && (seen >> index & 1u)) {
            r.fail_consumed(duplicate_field_message(key));
            return r.within_key(key);
        }
        if (!r.object_colon()) return false;
        if (index < 0) {
            if (!r.skip_value()) return false;
        } else {
            seen |= std::uint64_t{1} << index;
            const bool ok = visit_field<T, bool>(static_cast<std::size_t>(index), [&](const auto& fld, auto) {
                return read_value(r, out.*(fld.member)) || r.within_key(fld.key);
            });
            if (!ok) return false;
        }
        step = r.object_next();
    }
    if (step == Step::Fail) return false;
    const int missing = first_missing_required<T>(seen);
    if (missing >= 0) return r.fail_consumed(missing_field_message(field_key<T>(static_cast<std::size_t>(missing))));
    return true;
}

// Array form: field values by position; a short array leaves the remaining
// fields at their defaults unless one of them is required.
template <RecordType T>
bool read_record_array(Reader& r, T& out) {
    static_assert(field_count<T> > 0, "the first element consumes the opening bracket");
    bool ok = true;
    bool ended = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        if (!ok) return;
        if (!ended) {
            const Step step = decltype(i)::value == 0 ? r.list_first() : r.list_next();
            if (step == Step::Fail) {
                ok = false;
                return;
            }
            if (step == Step::Item) {
                ok = read_value(r, out.*(fld.member)) || r.within_key(fld.key);
                return;
            }
            ended = true;
        }
        if (!fld.has_default()) ok = r.fail_invalid_length(decltype(i)::value, length_text<T>());
    });
    if (!ok) return false;
    return ended || r.record_array_end();
}

template <RecordType T>
bool read_record(Reader& r, T& out) {
    const int c = r.peek();
    if (c != '{' && c != '[') return r.fail_invalid_type(expecting_text<T>());
    return c == '{' ? read_record_object(r, out) : read_record_array(r, out);
}

}  // namespace json

// Reads one record from the whole text. Its texts view `utf8` or `arena`,
// which must outlive it. The error's message ends in " at line L column C";
// its note names the field and list indices where the read stopped.
template <RecordType T>
Expected<T, ReadError> read_json(std::string_view utf8, TextArena& arena) {
    json::Reader reader(utf8, arena);
    T value{};
    if (!json::read_record(reader, value) || !reader.finish()) return Unexpected{reader.error()};
    return value;
}

// Specialised for a request whose large texts a JSON call may read in two
// passes (convert/categorize_json.h), with
//   static std::optional<Expected<Result, ReadError>> run(const json::Input& input, TextArena& arena);
// which reads the request and runs its engine, or returns nullopt to leave
// the text to one read.
template <class Request>
struct TwoPassRead;

template <class Request>
inline constexpr bool reads_in_two_passes_v = requires { &TwoPassRead<Request>::run; };

// As read_json, into `value` (default-initialised by the caller), with the
// elements of the list that `diversion.list` points to, a member of `value`,
// sent to the diversion: the same reads in the same order, so the same
// failure at the same place. Returns the failure, if any.
template <RecordType T>
std::optional<ReadError> read_json_diverted(const json::Input& input, TextArena& arena, T& value,
                                            json::Diversion& diversion) {
    json::Reader reader(input, arena);
    reader.divert(&diversion);
    if (!json::read_record(reader, value) || !reader.finish()) return reader.error();
    return std::nullopt;
}

}  // namespace morvanta::convert
