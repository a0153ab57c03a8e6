// Writing records as compact JSON text.
//
// The templates walk a record's field declaration; numbers, texts and member
// keys are written by the non-template helpers in json_writer.cpp. Writing
// cannot fail for any value a record can hold.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert/record.h"
#include "util/digits.h"

namespace morvanta::convert {

// NaN and infinities as null, zero as "0.0"/"-0.0", anything else from its
// shortest round-trip digits: fixed notation for decimal exponents -5..15,
// exponent notation ("1e+16", "1.5e-7") outside.
void append_json_float(double v, std::string& out);

namespace json {

// The output of one write: a byte buffer written through a raw pointer into
// room made ahead of time, so a member costs a few stores instead of a
// library call per piece, and the rendered bytes of each `Rows` table entry.
// A write first measures its record (see measure_json) and allocates once;
// growing stays possible, for a bound that fell short.
class Out {
public:
    Out() = default;
    explicit Out(std::size_t capacity) { grow(capacity); }
    ~Out() { std::free(data_); }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    // Makes room for n more bytes.
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    }
    // Unchecked writes: the caller has reserved the room.
    void raw(char c) { *p_++ = c; }
    void raw(const char* data, std::size_t n) {
        if (n) std::memcpy(p_, data, n);
        p_ += n;
    }
    char*& cursor() { return p_; }

    void put(char c) {
        reserve(1);
        raw(c);
    }
    void put(std::string_view text) {
        reserve(text.size());
        raw(text.data(), text.size());
    }

    std::string_view text() const { return {data_, static_cast<std::size_t>(p_ - data_)}; }
    std::size_t capacity() const { return static_cast<std::size_t>(end_ - data_); }

    // The rendered entries of the table of `rows`, made by measure_json.
    struct Table {
        const void* rows;
        std::string bytes;  // the rendered entries, in the order first used
        std::vector<std::pair<std::size_t, std::size_t>> spans;  // entry i's offset and size; size 0 when not rendered
    };
    Table& table(const void* rows) {
        for (Table& t : tables_)
            if (t.rows == rows) return t;
        return tables_.emplace_back(Table{rows, {}, {}});
    }
    const Table& table_at(std::size_t i) const { return tables_[i]; }
    // Forgets the written bytes, keeping the buffer.
    void clear() { p_ = data_; }

    // With rows kept apart, the rows of a `Rows` value are not copied into
    // the buffer: the write notes where they stand instead, and the caller
    // assembles the text from the buffer's literal runs and the rendered
    // entries (so a large output is never held twice).
    struct RowsMark {
        std::size_t at;                            // offset in text() where the rows stand
        std::size_t table;                         // index of their table
        const std::vector<std::uint32_t>* rows;    // the row list of the value written
    };
    void keep_rows_apart() { rows_apart_ = true; }
    bool rows_apart() const { return rows_apart_; }
    void mark_rows(const Table& table, const std::vector<std::uint32_t>& rows) {
        marks_.push_back(RowsMark{static_cast<std::size_t>(p_ - data_), static_cast<std::size_t>(&table - tables_.data()),
                                  &rows});
    }
    const std::vector<RowsMark>& marks() const { return marks_; }

private:
    void grow(std::size_t n);
    char* data_ = nullptr;
    char* p_ = nullptr;
    char* end_ = nullptr;
    std::vector<Table> tables_;
    bool rows_apart_ = false;
    std::vector<RowsMark> marks_;
};

// The entry of row `row` in its rendered table: "null" for no entry.
inline std::string_view rendered_row(const Out::Table& table, std::uint32_t row) {
    if (row == no_row) return "null";
    return std::string_view(table.bytes).substr(table.spans[row].first, table.spans[row].second);
}

// Unsigned and signed integers with at most 20 digits plus a sign: callers
// reserve kMaxInt bytes first (the digit writer stores whole words into
// that room, past the digits it keeps).
inline constexpr std::size_t kMaxInt = 1 + digits::kWriteRoom;
// An integer at p, which has kMaxInt bytes of room; returns the end.
inline char* put_int(std::int64_t v, char* p) {
    // The magnitude in unsigned arithmetic, so INT64_MIN needs no special case.
    std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    if (v < 0) {
        *p++ = '-';
        magnitude = 0 - magnitude;
    }
    return digits::write(magnitude, p);
}
inline void write_uint(std::uint64_t v, Out& out) { out.cursor() = digits::write(v, out.cursor()); }
inline void write_int(std::int64_t v, Out& out) { out.cursor() = put_int(v, out.cursor()); }
void write_float(double v, Out& out);
// Bytes written by write_float(v).
std::size_t float_size(double v);
// A JSON string: '"' and '\\' backslashed, control bytes escaped, every other
// byte (non-ASCII and 0x7F included) copied as it is.
void write_string(std::string_view text, Out& out);
// Bytes written by write_string(text), quotes included.
std::size_t string_size(std::string_view text);
// Bytes written by write_uint / write_int.
inline std::size_t uint_size(std::uint64_t v) { return static_cast<std::size_t>(digits::count(v)); }
inline std::size_t int_size(std::int64_t v) {
    const std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    return (v < 0) + uint_size(v < 0 ? 0 - magnitude : magnitude);
}
// At most this many bytes for a float (sign, "0.0000" and 17 digits).
inline constexpr std::size_t kMaxFloat = 40;

// A member's `,"key":` written in one append. Keys are declared in code and
// must not need escaping, which is checked here at compile time.
template <RecordType T, std::size_t I>
struct MemberPrefix {
    static constexpr std::string_view key = std::get<I>(Fields<T>::list).key;
    static constexpr bool plain_key = [] {
        for (char c : key)
            if (c < 0x20 || c == '"' || c == '\\') return false;
        return true;
    }();
    static_assert(plain_key, "record keys are written without escaping");
    static constexpr auto text = [] {
        std::array<char, key.size() + 4> a{};
        a[0] = ',';
        a[1] = '"';
        std::copy(key.begin(), key.end(), a.begin() + 2);
        a[key.size() + 2] = '"';
        a[key.size() + 3] = ':';
        return a;
    }();
};

template <class M>
void write_value(const M& value, Out& out);

// A record whose members are all integers (or optional integers) is
// "flat": its longest form is known at compile time, so one check makes
// room for all of it and its members are written through a local pointer,
// kept in a register rather than reloaded after every store.
template <class M>
constexpr bool is_integer_member() {
    if constexpr (is_optional_v<M>)
        return is_integer_member<typename M::value_type>();
    else
        return std::is_same_v<M, std::uint32_t> || is_signed_output_v<M>;
}

template <RecordType T>
constexpr bool is_flat_record() {
    bool flat = true;
    for_each_field<T>([&](const auto& fld, auto) {
        flat = flat && is_integer_member<std::decay_t<decltype(std::declval<const T&>().*(fld.member))>>();
    });
    return flat;
}

template <RecordType T>
constexpr std::size_t flat_bound() {
    std::size_t n = 2;  // {}
    for_each_field<T>([&](const auto&, auto i) { n += MemberPrefix<T, decltype(i)::value>::text.size() + kMaxInt; });
    return n;
}

// Bytes past the measured output that a write may ask for ahead of its
// stores: a number's room, reserved before its digits are known, or the
// longest form of a flat record. With this much more than the measure,
// a write never grows its buffer.
inline constexpr std::size_t kWriteSlack = 512;

template <RecordType T>
void write_flat_record(const T& value, Out& out) {
    static_assert(flat_bound<T>() <= kWriteSlack, "a flat record's room stays within the write's slack");
    out.reserve(flat_bound<T>());
    char* p = out.cursor();
    *p++ = '{';
    bool any = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        const auto& member = value.*(fld.member);
        using M = std::decay_t<decltype(member)>;
        if constexpr (is_optional_v<M>) {
            if constexpr (std::get<I>(Fields<T>::list).presence == Presence::OmitIfAbsent) {
                if (!member.has_value()) return;
            }
        }
        constexpr auto& prefix = MemberPrefix<T, I>::text;
        if (any) {
            std::memcpy(p, prefix.data(), prefix.size());
            p += prefix.size();
        } else {
            std::memcpy(p, prefix.data() + 1, prefix.size() - 1);  // no ',' before the first member written
            p += prefix.size() - 1;
        }
        any = true;
        if constexpr (is_optional_v<M>) {
            if (!member.has_value()) {
                std::memcpy(p, "null", 4);
                p += 4;
            } else if constexpr (std::is_same_v<typename M::value_type, std::uint32_t>) {
                p = digits::write(*member, p);
            } else {
                p = put_int(*member, p);
            }
        } else if constexpr (std::is_same_v<M, std::uint32_t>) {
            p = digits::write(member, p);
        } else {
            p = put_int(member, p);
        }
    });
    *p++ = '}';
    out.cursor() = p;
}

// Renders every entry of the table that a row names and has not been
// rendered yet; returns the table.
template <class T>
Out::Table& render_rows(const Rows<T>& value, Out& out) {
    Out::Table& table = out.table(&value);
    if (table.spans.size() != value.table.size()) table.spans.assign(value.table.size(), {0, 0});
    Out scratch;
    for (const std::uint32_t row : value.rows) {
        if (row == Rows<T>::none || table.spans.at(row).second != 0) continue;
        scratch.clear();
        write_value(value.table[row], scratch);
        const std::string_view bytes = scratch.text();
        table.spans[row] = {table.bytes.size(), bytes.size()};
        table.bytes.append(bytes);
    }
    return table;
}

template <class T>
void write_rows(const Rows<T>& value, Out& out) {
    const Out::Table& table = render_rows(value, out);
    out.put('[');
    if (out.rows_apart()) {
        out.mark_rows(table, value.rows);
        out.put(']');
        return;
    }
    bool first = true;
    for (const std::uint32_t row : value.rows) {
        const std::string_view bytes = rendered_row(table, row);
        out.reserve(bytes.size() + 1);
        if (!first) out.raw(',');
        first = false;
        out.raw(bytes.data(), bytes.size());
    }
    out.put(']');
}

template <RecordType T>
void write_record(const T& value, Out& out) {
    if constexpr (is_flat_record<T>()) {
        write_flat_record(value, out);
    } else {
        out.put('{');
        bool any = false;
        for_each_field<T>([&](const auto& fld, auto i) {
            constexpr std::size_t I = decltype(i)::value;
            using M = std::decay_t<decltype(value.*(fld.member))>;
            const M& member = value.*(fld.member);
            if constexpr (std::get<I>(Fields<T>::list).presence == Presence::OmitIfAbsent) {
                static_assert(is_optional_v<M>, "only an optional can be left out");
                if (!member.has_value()) return;
            }
            constexpr auto& prefix = MemberPrefix<T, I>::text;
            // Room for the key and, for an integer, its value: one check for both.
            out.reserve(prefix.size() + kMaxInt);
            if (any)
                out.raw(prefix.data(), prefix.size());
            else
                out.raw(prefix.data() + 1, prefix.size() - 1);  // no ',' before the first member written
            any = true;
            if constexpr (std::is_same_v<M, std::uint32_t>)
                write_uint(member, out);
            else if constexpr (is_signed_output_v<M>)
                write_int(member, out);
            else
                write_value(member, out);
        });
        out.put('}');
    }
}

template <class M>
void write_value(const M& value, Out& out) {
    if constexpr (std::is_same_v<M, double>) {
        write_float(value, out);
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        out.reserve(kMaxInt);
        write_uint(value, out);
    } else if constexpr (is_signed_output_v<M>) {
        out.reserve(kMaxInt);
        write_int(value, out);
    } else if constexpr (is_text_v<M>) {
        write_string(value, out);
    } else if constexpr (is_optional_v<M>) {
        if (value.has_value())
            write_value(*value, out);
        else
            out.put("null");
    } else if constexpr (is_vector_v<M>) {
        out.put('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first) out.put(',');
            first = false;
            write_value(element, out);
        }
        out.put(']');
    } else if constexpr (is_rows_v<M>) {
        write_rows(value, out);
    } else if constexpr (EnumType<M>) {
        write_string(enum_name(value), out);
    } else if constexpr (TextFormType<M>) {
        std::string text;  // short forms such as "2024-11" stay in the small-string buffer
        TextForm<M>::format(value, text);
        write_string(text, out);
    } else if constexpr (RecordType<M>) {
        write_record(value, out);
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

// ---------------------------------------------------------------------------
// Measuring: the bytes write_value will write, exactly. Renders the tables
// of `Rows` values into `out`.

template <class M>
std::size_t measure_value(const M& value, Out& out);

template <RecordType T>
std::size_t measure_record(const T& value, Out& out) {
    std::size_t n = 2;  // {}
    bool any = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        const auto& member = value.*(fld.member);
        if constexpr (std::get<I>(Fields<T>::list).presence == Presence::OmitIfAbsent) {
            if (!member.has_value()) return;
        }
        n += MemberPrefix<T, I>::text.size() - (any ? 0 : 1) + measure_value(member, out);
        any = true;
    });
    return n;
}

template <class M>
std::size_t measure_value(const M& value, Out& out) {
    if constexpr (std::is_same_v<M, double>) {
        return float_size(value);
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        return uint_size(value);
    } else if constexpr (is_signed_output_v<M>) {
        return int_size(value);
    } else if constexpr (is_text_v<M>) {
        return string_size(value);
    } else if constexpr (is_optional_v<M>) {
        return value.has_value() ? measure_value(*value, out) : 4;
    } else if constexpr (is_vector_v<M>) {
        std::size_t n = value.empty() ? 2 : 1 + value.size();  // brackets and commas
        for (const auto& element : value) n += measure_value(element, out);
        return n;
    } else if constexpr (is_rows_v<M>) {
        const Out::Table& table = render_rows(value, out);
        std::size_t n = value.rows.empty() ? 2 : 1 + value.rows.size();
        for (const std::uint32_t row : value.rows) n += row == Rows<typename M::value_type>::none ? 4 : table.spans[row].second;
        return n;
    } else if constexpr (EnumType<M>) {
        return string_size(enum_name(value));
    } else if constexpr (TextFormType<M>) {
        std::string text;
        TextForm<M>::format(value, text);
        return string_size(text);
    } else if constexpr (RecordType<M>) {
        return measure_record(value, out);
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

// Whether a value of type M, or one inside it (an optional's, a list's
// element, a record's member), has a type for which Leaf<...>::value holds.
template <class M, template <class> class Leaf>
constexpr bool holds_any() {
    if constexpr (Leaf<M>::value) {
        return true;
    } else if constexpr (is_optional_v<M> || is_vector_v<M>) {
        return holds_any<typename M::value_type, Leaf>();
    } else if constexpr (RecordType<M>) {
        bool any = false;
        for_each_field<M>([&](const auto& fld, auto) {
            any = any || holds_any<std::decay_t<decltype(std::declval<const M&>().*(fld.member))>, Leaf>();
        });
        return any;
    } else {
        return false;
    }
}

template <class M>
struct IsView : std::is_same<M, std::string_view> {};

}  // namespace json

// Bytes that write_json(value) writes, plus room for the writer's checks
// ahead of its stores (a number's room is reserved before its digits are
// known); renders the tables of `Rows` values into `out`, so that the write
// needs none of the texts they view.
template <RecordType T>
std::size_t measure_json(const T& value, json::Out& out) {
    return json::measure_record(value, out) + json::kWriteSlack;
}

// Whether writing a value reads text views once its tables are rendered
// (rendered rows do not): if not, whatever the texts view can be released
// before the write.
template <RecordType T>
inline constexpr bool writes_views_v = json::holds_any<T, json::IsView>();
// Whether a value holds `Rows` anywhere, which a write can keep apart.
template <RecordType T>
inline constexpr bool has_rows_v = json::holds_any<T, IsRows>();

// Appends the compact JSON form of `value` to `out`.
template <RecordType T>
void write_json(const T& value, json::Out& out) {
    json::write_record(value, out);
}

template <RecordType T>
void write_json(const T& value, std::string& out) {
    json::Out cursor;
    json::write_record(value, cursor);
    out.append(cursor.text());
}

}  // namespace morvanta::convert
