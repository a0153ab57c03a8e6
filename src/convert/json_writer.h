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
#include <string>
#include <string_view>
#include <type_traits>

#include "convert/record.h"

namespace morvanta::convert {

// NaN and infinities as null, zero as "0.0"/"-0.0", anything else from its
// shortest round-trip digits: fixed notation for decimal exponents -5..15,
// exponent notation ("1e+16", "1.5e-7") outside.
void append_json_float(double v, std::string& out);

namespace json {

void append_uint(std::uint64_t v, std::string& out);
void append_int(std::int64_t v, std::string& out);
// A JSON string: '"' and '\\' backslashed, control bytes escaped, every other
// byte (non-ASCII and 0x7F included) copied as it is.
void append_string(std::string_view text, std::string& out);

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
void write_value(const M& value, std::string& out);

template <RecordType T>
void write_record(const T& value, std::string& out) {
    out += '{';
    bool any = false;
    for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        const auto& member = value.*(fld.member);
        if constexpr (std::get<I>(Fields<T>::list).presence == Presence::OmitIfAbsent) {
            static_assert(is_optional_v<std::decay_t<decltype(member)>>, "only an optional can be left out");
            if (!member.has_value()) return;
        }
        const auto& prefix = MemberPrefix<T, I>::text;
        const std::size_t skip = any ? 0 : 1;  // no ',' before the first member written
        out.append(prefix.data() + skip, prefix.size() - skip);
        any = true;
        write_value(member, out);
    });
    out += '}';
}

template <class M>
void write_value(const M& value, std::string& out) {
    if constexpr (std::is_same_v<M, double>) {
        append_json_float(value, out);
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        append_uint(value, out);
    } else if constexpr (is_signed_output_v<M>) {
        append_int(value, out);
    } else if constexpr (std::is_same_v<M, std::string>) {
        append_string(value, out);
    } else if constexpr (is_optional_v<M>) {
        if (value.has_value())
            write_value(*value, out);
        else
            out += "null";
    } else if constexpr (is_vector_v<M>) {
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ',';
            first = false;
            write_value(element, out);
        }
        out += ']';
    } else if constexpr (EnumType<M>) {
        append_string(enum_name(value), out);
    } else if constexpr (TextFormType<M>) {
        std::string text;  // short forms such as "2024-11" stay in the small-string buffer
        TextForm<M>::format(value, text);
        append_string(text, out);
    } else if constexpr (RecordType<M>) {
        write_record(value, out);
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

std::size_t uint_size(std::uint64_t v);

// A cheap estimate of the written size, to reserve the output once: a list
// counts its first element's size for every element.
template <class M>
std::size_t size_hint(const M& value) {
    if constexpr (std::is_same_v<M, double>) {
        return 24;
    } else if constexpr (std::is_same_v<M, std::uint32_t>) {
        return uint_size(value);
    } else if constexpr (is_signed_output_v<M>) {
        return value < 0 ? 1 + uint_size(0 - static_cast<std::uint64_t>(value)) : uint_size(static_cast<std::uint64_t>(value));
    } else if constexpr (std::is_same_v<M, std::string>) {
        return value.size() + 2;
    } else if constexpr (is_optional_v<M>) {
        return value.has_value() ? size_hint(*value) : 4;
    } else if constexpr (is_vector_v<M>) {
        return value.empty() ? 2 : 2 + value.size() * (size_hint(value.front()) + 1);
    } else if constexpr (EnumType<M>) {
        return enum_name(value).size() + 2;
    } else if constexpr (TextFormType<M>) {
        return 16;
    } else if constexpr (RecordType<M>) {
        std::size_t n = 2;
        for_each_field<M>([&](const auto& fld, auto) { n += fld.key.size() + 4 + size_hint(value.*(fld.member)); });
        return n;
    } else {
        static_assert(!sizeof(M), "this member type cannot be written as JSON");
    }
}

}  // namespace json

// Appends the compact JSON form of `value` to `out`.
template <RecordType T>
void write_json(const T& value, std::string& out) {
    json::write_record(value, out);
}

// The compact JSON form in a fresh buffer: at least 128 bytes of room,
// more when the estimate says so, so large results grow at most a few times.
template <RecordType T>
std::string to_json(const T& value) {
    std::string out;
    out.reserve(std::max<std::size_t>(128, json::size_hint(value)));
    write_json(value, out);
    return out;
}

}  // namespace morvanta::convert
