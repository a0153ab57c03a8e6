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

#include "convert/record.h"

namespace morvanta::convert {

// NaN and infinities as null, zero as "0.0"/"-0.0", anything else from its
// shortest round-trip digits: fixed notation for decimal exponents -5..15,
// exponent notation ("1e+16", "1.5e-7") outside.
void append_json_float(double v, std::string& out);

namespace json {

// Output cursor over a std::string: writes go through a raw pointer into
// room made ahead of time, so a member costs a few stores instead of a
// library call per piece. The string's size runs ahead of the written bytes
// and is cut back when the cursor is destroyed.
class Out {
public:
    explicit Out(std::string& s) : s_(s), used_(s.size()) { sync(); }
    ~Out() { s_.resize(static_cast<std::size_t>(p_ - s_.data())); }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    // Makes room for n more bytes.
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    }
    // Unchecked writes: the caller has reserved the room.
    void raw(char c) { *p_++ = c; }
    void raw(const char* data, std::size_t n) {
        std::memcpy(p_, data, n);
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

private:
    void grow(std::size_t n);
    void sync() {
        p_ = s_.data() + used_;
        end_ = s_.data() + s_.size();
    }
    std::string& s_;
    std::size_t used_;
    char* p_ = nullptr;
    char* end_ = nullptr;
};

// Unsigned and signed integers with at most 20 digits plus a sign: callers
// reserve kMaxInt bytes first.
inline constexpr std::size_t kMaxInt = 21;
void write_uint(std::uint64_t v, Out& out);
void write_int(std::int64_t v, Out& out);
void write_float(double v, Out& out);
// A JSON string: '"' and '\\' backslashed, control bytes escaped, every other
// byte (non-ASCII and 0x7F included) copied as it is.
void write_string(std::string_view text, Out& out);

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

template <RecordType T>
void write_record(const T& value, Out& out) {
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
    } else if constexpr (std::is_same_v<M, std::string>) {
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

}  // namespace json

// Appends the compact JSON form of `value` to `out`.
template <RecordType T>
void write_json(const T& value, std::string& out) {
    json::Out cursor(out);
    json::write_record(value, cursor);
}

}  // namespace morvanta::convert
