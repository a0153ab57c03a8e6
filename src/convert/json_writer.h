// Writing records as compact JSON text.
//
// The templates walk a record's field declaration; numbers, texts and member
// keys are written by the non-template helpers in json_writer.cpp. Writing
// cannot fail for any value a record can hold.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "convert/json_out.h"
#include "convert/json_text.h"
#include "convert/record.h"
#include "util/digits.h"

namespace morvanta::convert {

namespace json {

// Where a write goes: the bytes, the rendered row tables, and, for a write
// as pieces, the pieces that note where rows stand instead of copying them.
struct Out {
    Buffer& bytes;
    const RenderedRows& rendered;
    Pieces* pieces = nullptr;
};

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
inline void write_uint(std::uint64_t v, Buffer& out) { out.cursor() = digits::write(v, out.cursor()); }
inline void write_int(std::int64_t v, Buffer& out) { out.cursor() = put_int(v, out.cursor()); }
void write_float(double v, Buffer& out);
// Bytes written by write_float(v).
std::size_t float_size(double v);
// A JSON string: '"' and '\\' backslashed, control bytes escaped, every other
// byte (non-ASCII and 0x7F included) copied as it is.
void write_string(std::string_view text, Buffer& out);
// Bytes written by write_string(text), quotes included.
std::size_t string_size(std::string_view text);
// Bytes written by write_uint / write_int.
inline std::size_t uint_size(std::uint64_t v) { return static_cast<std::size_t>(digits::count(v)); }
inline std::size_t int_size(std::int64_t v) {
    const std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    return (v < 0) + uint_size(v < 0 ? 0 - magnitude : magnitude);
}
// A member's `,"key":` written in one append (see KeyLiteral).
template <RecordType T, std::size_t I>
struct MemberPrefix {
    static constexpr std::string_view text = KeyLiteral<T, I, ','>::text;
    // The prefix of the first member written, without the ','.
    static constexpr std::string_view first = text.substr(1);
    static constexpr std::string_view next = text;
};

template <class M>
void write_value(const M& value, Out& out);

// Whether a value of type M, or one inside it (an optional's, a list's
// element, a record's member), has a type for which Leaf<...>::value holds.
template <class M, template <class> class Leaf>
constexpr bool holds_any() {
    if constexpr (Leaf<M>::value) {
        return true;
    } else if constexpr (is_optional_v<M> || is_vector_v<M>) {
        return holds_any<typename M::value_type, Leaf>();
    } else if constexpr (RecordType<M>) {
        return any_field<M>([](const auto& fld) { return holds_any<member_t<decltype(fld)>, Leaf>(); });
    } else {
        return false;
    }
}

template <class M>
struct IsView : std::is_same<M, std::string_view> {};

// A record whose members are all integers (or optional integers) is
// "flat": its longest form is known at compile time, so one check makes
// room for all of it and its members are written through a local pointer,
// kept in a register rather than reloaded after every store.
template <RecordType T>
constexpr bool is_flat_record() {
    return all_fields<T>([](const auto& fld) { return is_integer_member_v<member_t<decltype(fld)>>; });
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

// Flattened: the digit writer is inlined at every member, which GCC left to
// its own budget calls out of line for most of them (callgrind on
// `benchmarks/profile.py emi-json` counts the difference).
template <RecordType T>
[[gnu::flatten]] void write_flat_record(const T& value, Buffer& out) {
    static_assert(flat_bound<T>() <= kWriteSlack, "a flat record's room stays within the write's slack");
    out.reserve(flat_bound<T>());
    char* p = out.cursor();
    *p++ = '{';
    bool any = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        if (left_out<T, I>(value)) return;
        const std::string_view prefix = any ? MemberPrefix<T, I>::next : MemberPrefix<T, I>::first;
        std::memcpy(p, prefix.data(), prefix.size());
        p += prefix.size();
        any = true;
        const auto& member = value.*(fld.member);
        using M = member_t<decltype(fld)>;
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

template <class T>
void write_rows(const Rows<T>& value, Out& out) {
    out.bytes.put('[');
    if (out.pieces) {
        out.pieces->mark_rows(&value, value.rows);
        out.bytes.put(']');
        return;
    }
    const RenderedRows::Table& table = out.rendered.of(&value);
    const std::size_t n = value.rows.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::string_view bytes = RenderedRows::row(table, value.rows[k], k + 1 < n);
        out.bytes.reserve(bytes.size());
        out.bytes.raw(bytes.data(), bytes.size());
    }
    out.bytes.put(']');
}

template <RecordType T>
void write_record(const T& value, Out& out) {
    if constexpr (is_flat_record<T>()) {
        write_flat_record(value, out.bytes);
    } else {
        out.bytes.put('{');
        bool any = false;
        for_each_field<T>([&](const auto& fld, auto i) {
            constexpr std::size_t I = decltype(i)::value;
            using M = member_t<decltype(fld)>;
            if (left_out<T, I>(value)) return;
            const M& member = value.*(fld.member);
            const std::string_view prefix = any ? MemberPrefix<T, I>::next : MemberPrefix<T, I>::first;
            // Room for the key and, for an integer, its value: one check for both.
            out.bytes.reserve(prefix.size() + kMaxInt);
            out.bytes.raw(prefix.data(), prefix.size());
            any = true;
            if constexpr (std::is_same_v<M, std::uint32_t>)
                write_uint(member, out.bytes);
            else if constexpr (is_signed_output_v<M>)
                write_int(member, out.bytes);
            else
                write_value(member, out);
        });
        out.bytes.put('}');
    }
}

template <class M>
void write_value(const M& value, Out& out) {
    Buffer& bytes = out.bytes;
    if constexpr (std::is_same_v<M, double>) {
        write_float(value, bytes);
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        bytes.reserve(kMaxInt);
        write_uint(value, bytes);
    } else if constexpr (is_signed_output_v<M>) {
        bytes.reserve(kMaxInt);
        write_int(value, bytes);
    } else if constexpr (is_text_v<M>) {
        write_string(value, bytes);
    } else if constexpr (is_optional_v<M>) {
        if (value.has_value())
            write_value(*value, out);
        else
            bytes.put("null");
    } else if constexpr (is_vector_v<M>) {
        bytes.put('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first) bytes.put(',');
            first = false;
            write_value(element, out);
        }
        bytes.put(']');
    } else if constexpr (is_rows_v<M>) {
        write_rows(value, out);
    } else if constexpr (EnumType<M>) {
        write_string(enum_name(value), bytes);
    } else if constexpr (TextFormType<M>) {
        write_string(text_form(value), bytes);
    } else if constexpr (RecordType<M>) {
        write_record(value, out);
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

// ---------------------------------------------------------------------------
// Rendering: each `Rows` table entry that a row names, once.

template <class M>
void render_value(const M& value, RenderedRows& rendered);

template <class T>
void render_rows(const Rows<T>& value, RenderedRows& rendered) {
    RenderedRows::Table& table = rendered.table(&value);
    if (table.spans.size() != value.table.size()) table.spans.assign(value.table.size(), {0, 0});
    Buffer scratch;
    const RenderedRows none;  // a table entry holds no rows of its own
    for (const std::uint32_t row : value.rows) {
        if (row == kNoRow || table.spans.at(row).second != 0) continue;
        scratch.clear();
        Out out{scratch, none};
        write_value(value.table[row], out);
        const std::string_view bytes = scratch.text();
        table.spans[row] = {table.bytes.size(), bytes.size()};
        table.bytes.append(bytes);
        table.bytes += ',';
    }
}

template <class M>
void render_value(const M& value, RenderedRows& rendered) {
    if constexpr (!holds_any<M, IsRows>()) {
        return;
    } else if constexpr (is_rows_v<M>) {
        static_assert(!holds_any<typename M::value_type, IsRows>(), "a table entry holds no rows");
        render_rows(value, rendered);
    } else if constexpr (is_optional_v<M>) {
        if (value.has_value()) render_value(*value, rendered);
    } else if constexpr (is_vector_v<M>) {
        for (const auto& element : value) render_value(element, rendered);
    } else {
        for_each_field<M>([&](const auto& fld, auto) { render_value(value.*(fld.member), rendered); });
    }
}

// ---------------------------------------------------------------------------
// Measuring: the bytes write_value will write, once the tables of `Rows`
// values are rendered. Exact, or (Exact false) an upper bound that does not
// look at the digits of a number and costs nothing per element of a list of
// flat records: room for the longest form of each.

template <bool Exact, class M>
std::size_t measure_value(const M& value, const RenderedRows& rendered);

template <bool Exact, RecordType T>
std::size_t measure_record(const T& value, const RenderedRows& rendered) {
    std::size_t n = 2;  // {}
    bool any = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        if (left_out<T, I>(value)) return;
        n += MemberPrefix<T, I>::text.size() - (any ? 0 : 1) + measure_value<Exact>(value.*(fld.member), rendered);
        any = true;
    });
    return n;
}

template <class M>
std::size_t measure_rows(const M& value, const RenderedRows& rendered) {
    const RenderedRows::Table& table = rendered.of(&value);
    std::size_t n = value.rows.empty() ? 2 : 1 + value.rows.size();  // brackets and commas
    for (const std::uint32_t row : value.rows) n += row == kNoRow ? 4 : table.spans[row].second;
    return n;
}

template <bool Exact, class M>
std::size_t measure_value(const M& value, const RenderedRows& rendered) {
    if constexpr (std::is_same_v<M, double>) {
        return Exact ? float_size(value) : kMaxFloat;
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        return Exact ? uint_size(value) : kMaxInt;
    } else if constexpr (is_signed_output_v<M>) {
        return Exact ? int_size(value) : kMaxInt;
    } else if constexpr (is_text_v<M>) {
        return string_size(value);
    } else if constexpr (is_optional_v<M>) {
        return value.has_value() ? measure_value<Exact>(*value, rendered) : 4;
    } else if constexpr (is_vector_v<M>) {
        std::size_t n = value.empty() ? 2 : 1 + value.size();  // brackets and commas
        if constexpr (!Exact && RecordType<typename M::value_type>) {
            if constexpr (is_flat_record<typename M::value_type>())
                return n + value.size() * flat_bound<typename M::value_type>();
        }
        for (const auto& element : value) n += measure_value<Exact>(element, rendered);
        return n;
    } else if constexpr (is_rows_v<M>) {
        return measure_rows(value, rendered);
    } else if constexpr (EnumType<M>) {
        return string_size(enum_name(value));
    } else if constexpr (TextFormType<M>) {
        return string_size(text_form(value));
    } else if constexpr (RecordType<M>) {
        return measure_record<Exact>(value, rendered);
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

}  // namespace json

// Whether writing a value reads text views once its tables are rendered
// (rendered rows do not): if not, whatever the texts view can be released
// before the write.
template <RecordType T>
inline constexpr bool writes_views_v = json::holds_any<T, json::IsView>();
// Whether a value holds `Rows` anywhere, which a write can keep apart.
template <RecordType T>
inline constexpr bool has_rows_v = json::holds_any<T, IsRows>();

// Renders the tables of the `Rows` values in `value` into `rendered`, while
// the texts they view are valid, and returns the bytes that write_json(value)
// writes plus room for the writer's checks ahead of its stores (a number's
// room is reserved before its digits are known).
template <RecordType T>
std::size_t render_json(const T& value, json::RenderedRows& rendered) {
    json::render_value(value, rendered);
    return json::measure_record<true>(value, rendered) + json::kWriteSlack;
}

// Like render_json, but returns a bound that allows the longest form of
// every number instead of counting its digits: room that is never written
// costs no memory, since its pages are never touched, while counting the
// digits of a large schedule costs a good part of writing them.
template <RecordType T>
std::size_t render_json_bound(const T& value, json::RenderedRows& rendered) {
    json::render_value(value, rendered);
    return json::measure_record<false>(value, rendered) + json::kWriteSlack;
}

// The exact room of a write that render_json_bound has rendered.
template <RecordType T>
std::size_t measure_json(const T& value, const json::RenderedRows& rendered) {
    return json::measure_record<true>(value, rendered) + json::kWriteSlack;
}

// Appends the compact JSON form of `value`, rendered by render_json, to `out`.
template <RecordType T>
void write_json(const T& value, const json::RenderedRows& rendered, json::Buffer& out) {
    json::Out to{out, rendered};
    json::write_record(value, to);
}

// The same bytes as pieces, with every row left in the rendered tables.
template <RecordType T>
json::Pieces write_json_pieces(const T& value, const json::RenderedRows& rendered) {
    json::Pieces pieces(rendered);
    json::Out to{pieces.bytes(), rendered, &pieces};
    json::write_record(value, to);
    return pieces;
}

// Renders and writes in one step, appending to a string.
template <RecordType T>
void write_json(const T& value, std::string& out) {
    json::RenderedRows rendered;
    json::Buffer bytes;
    bytes.reserve(render_json(value, rendered));
    write_json(value, rendered, bytes);
    out.append(bytes.text());
}

}  // namespace morvanta::convert
