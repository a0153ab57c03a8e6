// The record model shared by every reader and writer.
//
// A record is a plain struct whose fields are declared once, in declaration
// order, by specialising `Fields<T>`:
//
//     template <> struct Fields<CategoryRule> {
//         static constexpr std::string_view name = "CategoryRule";
//         static constexpr auto list = std::tuple{
//             field("pattern", &CategoryRule::pattern), ...};
//     };
//
// The kind of a field follows from its member type: double (64-bit float),
// std::uint32_t, std::int32_t / std::int64_t (output only), std::string_view
// (text; std::string is accepted on output), std::vector<T> (list),
// std::optional<T> (optional), `Rows<T>` (output only: a list of optional
// values drawn from a small table), an enum with `EnumNames<E>` (enumeration
// of unit variants), a type with `TextForm<T>` (a value written externally as
// text, such as a calendar month), or another record. The object-mode and
// JSON readers and writers are generic over this declaration; none of them
// knows a record by name.
//
// Texts are views. A request's texts view the caller's input (a str's UTF-8,
// the JSON bytes) or the call's arena for the few that had to be decoded; a
// result's texts view the request's texts or storage the result owns. A
// result never points into the request record itself, so the request can be
// released first. What the texts view is kept while the result may still
// read it: until the result has been written, or, for a JSON write of a
// result that views no text once its row tables are rendered
// (`writes_views_v`), only until that rendering.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/expected.h"

namespace morvanta::convert {

// What a missing key means on input, and what an absent value means on output.
enum class Presence : std::uint8_t {
    Required,      // a missing key fails the read with "missing field `key`"
    Optional,      // std::optional member: missing key or null is absent; absent is written as null
    Defaulted,     // a missing key keeps the member's default initializer
    OmitIfAbsent,  // output-only std::optional member: absent leaves the key out entirely
};

template <class Record, class Member>
struct Field {
    using member_type = Member;
    std::string_view key;
    Member Record::*member;
    Presence presence;

    // Array-form reading lets a field with a default stand in for a missing element.
    constexpr bool has_default() const { return presence != Presence::Required; }
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member,
                                      Presence presence = Presence::Required) {
    return {key, member, presence};
}

// Specialised per record: `name` and the `list` tuple of fields.
template <class T>
struct Fields;

// Specialised per enumeration: `names`, the external names in declaration
// order; the enumerators are 0, 1, 2, ... in the same order.
template <class E>
struct EnumNames;

// Specialised for a value that is written externally as a text:
//   static Expected<T, std::string> parse(std::string_view text);
//   static void format(const T& value, std::string& out);
template <class T>
struct TextForm;

// ---------------------------------------------------------------------------
// Kind traits

template <class T>
concept RecordType = requires { Fields<T>::list; Fields<T>::name; };

template <class T>
concept EnumType = std::is_enum_v<T> && requires { EnumNames<T>::names; };

template <class T>
concept TextFormType = requires(std::string_view s, const T& v, std::string& out) {
    { TextForm<T>::parse(s) };
    TextForm<T>::format(v, out);
};

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// The row of `Rows` that names no table entry.
inline constexpr std::uint32_t kNoRow = 0xFFFFFFFFu;

// A list of optional values written as rows of a table: each row names a
// table entry by index, or none (absent). Results whose rows repeat a few
// values (a categorization row is one of the request's rules) keep 4 bytes a
// row, and each writer converts every table entry once per call.
template <class T>
struct Rows {
    using value_type = T;
    static constexpr std::uint32_t none = kNoRow;
    std::vector<T> table;
    std::vector<std::uint32_t> rows;
};

template <class T>
struct IsRows : std::false_type {};
template <class T>
struct IsRows<Rows<T>> : std::true_type {};

template <class T>
inline constexpr bool is_vector_v = IsVector<T>::value;
template <class T>
inline constexpr bool is_rows_v = IsRows<T>::value;
template <class T>
inline constexpr bool is_text_v = std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string>;
template <class T>
inline constexpr bool is_optional_v = IsOptional<T>::value;

template <class T>
inline constexpr bool is_signed_output_v =
    std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>;

template <class T>
inline constexpr bool is_integer_v = std::is_same_v<T, std::uint32_t> || is_signed_output_v<T>;

// An integer member, or an optional one.
template <class T>
inline constexpr bool is_integer_member_v = is_integer_v<T>;
template <class T>
inline constexpr bool is_integer_member_v<std::optional<T>> = is_integer_v<T>;

// ---------------------------------------------------------------------------
// Walking the declaration: the only code that walks a record's fields. The
// readers and writers use these helpers rather than folds of their own.

template <RecordType T>
inline constexpr std::size_t field_count = std::tuple_size_v<std::decay_t<decltype(Fields<T>::list)>>;

// The member type of a field declaration (the type of `fld` in a walk).
template <class F>
using member_t = typename std::decay_t<F>::member_type;

// The declaration of field I of T.
template <RecordType T, std::size_t I>
inline constexpr const auto& field_at = std::get<I>(Fields<T>::list);

// Calls f(field, std::integral_constant<size_t, I>) for each field in declaration order.
template <RecordType T, class F>
constexpr void for_each_field(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(field_at<T, I>, std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<field_count<T>>{});
}

// Whether pred(field) holds for every field, and for any field, stopping at
// the first field that decides. A fold over member types reads
// member_t<decltype(fld)> in the predicate.
template <RecordType T, class Pred>
constexpr bool all_fields(Pred&& pred) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (static_cast<bool>(pred(field_at<T, I>)) && ...);
    }(std::make_index_sequence<field_count<T>>{});
}

template <RecordType T, class Pred>
constexpr bool any_field(Pred&& pred) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (static_cast<bool>(pred(field_at<T, I>)) || ...);
    }(std::make_index_sequence<field_count<T>>{});
}

// How many fields pred(field) holds for.
template <RecordType T, class Pred>
constexpr std::size_t count_fields(Pred&& pred) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (std::size_t{0} + ... + (pred(field_at<T, I>) ? 1u : 0u));
    }(std::make_index_sequence<field_count<T>>{});
}

// Calls f(field, index) for the field whose index is `index`, returning f's result.
// `R` is the common result type; an out-of-range index returns R{}.
template <RecordType T, class R, class F>
constexpr R visit_field(std::size_t index, F&& f) {
    R result{};
    for_each_field<T>([&](const auto& fld, auto i) {
        if (decltype(i)::value == index) result = f(fld, i);
    });
    return result;
}

// The external keys in declaration order.
template <RecordType T>
inline constexpr auto key_list = [] {
    std::array<std::string_view, field_count<T>> keys{};
    for_each_field<T>([&](const auto& fld, auto i) { keys[decltype(i)::value] = fld.key; });
    return keys;
}();

template <RecordType T>
constexpr std::string_view field_key(std::size_t index) {
    return key_list<T>[index];
}

// Field index whose external key equals `key` byte for byte, or -1.
template <RecordType T>
int find_field(std::string_view key) {
    int found = -1;
    for_each_field<T>([&](const auto& fld, auto i) {
        if (found < 0 && fld.key == key) found = static_cast<int>(decltype(i)::value);
    });
    return found;
}

// Whether field I of `value` is left out of the output: a field marked
// OmitIfAbsent whose value is absent. Decided at compile time for every
// other field.
template <RecordType T, std::size_t I>
constexpr bool left_out(const T& value) {
    constexpr const auto& fld = field_at<T, I>;
    if constexpr (fld.presence == Presence::OmitIfAbsent) {
        static_assert(is_optional_v<member_t<decltype(fld)>>, "only an optional can be left out");
        return !(value.*(fld.member)).has_value();
    } else {
        return false;
    }
}

// Index of the first field that is required and was not seen, or -1.
// `seen` has bit i set for each field i that was read.
template <RecordType T>
int first_missing_required(std::uint64_t seen) {
    static_assert(field_count<T> <= 64, "seen-mask holds at most 64 fields");
    int missing = -1;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t idx = decltype(i)::value;
        if (missing < 0 && fld.presence == Presence::Required && !(seen >> idx & 1u))
            missing = static_cast<int>(idx);
    });
    return missing;
}

// Outcome of one step through a record's entries or a list's elements, in
// either mode.
enum class Step : std::uint8_t {
    Item,  // another entry or element follows
    End,   // there are no more
    Fail,  // the step failed, and the error is recorded
};

// ---------------------------------------------------------------------------
// Texts shared by both modes

// The external text of a text-form value (short ones, such as "2024-11",
// stay in the string's own buffer).
template <TextFormType T>
std::string text_form(const T& value) {
    std::string text;
    TextForm<T>::format(value, text);
    return text;
}

// "struct EmiRequest"
template <RecordType T>
std::string expecting_text() {
    std::string s = "struct ";
    s += Fields<T>::name;
    return s;
}

// "struct EmiRequest with 7 elements" / "struct MapInput with 1 element"
template <RecordType T>
std::string length_text() {
    std::string s = expecting_text<T>();
    s += " with ";
    s += std::to_string(field_count<T>);
    s += field_count<T> == 1 ? " element" : " elements";
    return s;
}

std::string missing_field_message(std::string_view key);
std::string duplicate_field_message(std::string_view key);
std::string unknown_variant_message(std::string_view name, const std::string_view* names,
                                    std::size_t count);

template <EnumType E>
std::optional<E> enum_from_name(std::string_view name) {
    const auto& names = EnumNames<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<E>(i);
    return std::nullopt;
}

template <EnumType E>
std::string_view enum_name(E value) {
    return EnumNames<E>::names[static_cast<std::size_t>(value)];
}

template <EnumType E>
std::string unknown_variant(std::string_view name) {
    const auto& names = EnumNames<E>::names;
    return unknown_variant_message(name, names.data(), names.size());
}

}  // namespace morvanta::convert
