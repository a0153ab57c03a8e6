// Object mode writing: a record into a new dict of plain values, generic over
// the record's field declaration. Every function returns a new reference, or
// NULL with `ctx.err` set to the text of the CPython failure; whatever was built
// before the failure is released by its owning handle.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert/python/capi.h"
#include "convert/python/record_keys.h"
#include "convert/record.h"

namespace morvanta::py {

// State of one write: the error text of a CPython failure, and per record
// type the dict of its keys (each mapped to None) that its dicts start from.
struct WriteContext {
    std::string err;
    std::vector<std::pair<const void*, Ref>> shapes;
};

template <class T>
Ref write_value(const T& value, WriteContext& ctx);

namespace detail {

inline Ref failed(WriteContext& ctx) {
    ctx.err = take_error_text();
    return Ref();
}

// Takes over a new reference, or notes the failure that left it NULL.
inline Ref adopt(PyObject* created, WriteContext& ctx) {
    if (!created) return failed(ctx);
    return Ref(created);
}

// An empty dict for a record, or, for one with more keys than a new dict
// holds without resizing (five), a copy of the dict of all its keys when
// every key will be written: one copy of the key table instead of inserting
// key by key, and the values set after replace the None of each key.
template <convert::RecordType T>
Ref new_record_dict(const T& value, PyObject* const* keys, WriteContext& ctx) {
    if constexpr (convert::field_count<T> <= 5) {
        return Ref(PyDict_New());
    } else {
        bool every_key = true;
        convert::for_each_field<T>([&](const auto&, auto i) {
            if (convert::left_out<T, decltype(i)::value>(value)) every_key = false;
        });
        if (!every_key) return Ref(PyDict_New());
        const void* const tag = &convert::Fields<T>::name;
        PyObject* shape = nullptr;
        for (const auto& [t, d] : ctx.shapes)
            if (t == tag) shape = d.get();
        if (!shape) {
            Ref all_keys(PyDict_New());
            if (!all_keys) return Ref();
            for (std::size_t i = 0; i < convert::field_count<T>; ++i)
                if (PyDict_SetItem(all_keys.get(), keys[i], Py_None) < 0) return Ref();
            shape = all_keys.get();
            ctx.shapes.emplace_back(tag, std::move(all_keys));
        }
        return Ref(PyDict_Copy(shape));
    }
}

// The int of each integer member of the record last written in a list,
// given again to the next record whose member has the same value: down a
// schedule the instalment and the year repeat, and an int is immutable, so
// sharing one object is invisible but saves an allocation.
template <convert::RecordType T>
struct LastIntegers {
    std::array<std::int64_t, convert::field_count<T>> value{};
    std::array<Ref, convert::field_count<T>> object;
};

template <class M>
Ref write_integer(const M& member, Ref& last_object, std::int64_t& last_value, WriteContext& ctx) {
    if constexpr (convert::is_optional_v<M>) {
        if (!member) return Ref::borrow(Py_None);
        return write_integer(*member, last_object, last_value, ctx);
    } else {
        const std::int64_t v = static_cast<std::int64_t>(member);
        if (last_object && last_value == v) return Ref::borrow(last_object.get());
        Ref item = write_value(member, ctx);
        if (item) {
            last_object = Ref::borrow(item.get());
            last_value = v;
        }
        return item;
    }
}

// Whether a dict of T's fields can be shared by a shallow copy: its values
// are immutable (numbers, texts, enumerations, text forms).
template <class M>
constexpr bool immutable_value() {
    if constexpr (convert::is_optional_v<M>)
        return immutable_value<typename M::value_type>();
    else
        return !convert::is_vector_v<M> && !convert::is_rows_v<M> && !convert::RecordType<M>;
}

template <convert::RecordType T>
constexpr bool shallow_copy_safe() {
    return convert::all_fields<T>([](const auto& fld) { return immutable_value<convert::member_t<decltype(fld)>>(); });
}

// The value of field I of a record, a new reference.
template <convert::RecordType T, std::size_t I, class Field>
Ref write_field(const T& value, const Field& fld, WriteContext& ctx, LastIntegers<T>* last) {
    if constexpr (convert::is_integer_member_v<convert::member_t<Field>>) {
        if (last) return write_integer(value.*(fld.member), last->object[I], last->value[I], ctx);
    }
    return write_value(value.*(fld.member), ctx);
}

// The values of a record's fields, each a new reference (null where the
// field is left out).
template <convert::RecordType T>
using FieldValues = std::array<Ref, convert::field_count<T>>;

template <convert::RecordType T>
bool write_fields(const T& value, FieldValues<T>& items, WriteContext& ctx, LastIntegers<T>* last = nullptr) {
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::size_t I = decltype(i)::value;
        if (!ok || convert::left_out<T, I>(value)) return;
        items[I] = write_field<T, I>(value, fld, ctx, last);
        ok = static_cast<bool>(items[I]);
    });
    return ok;
}

// The dict of a record whose values write_fields has made.
template <convert::RecordType T>
Ref record_dict(const T& value, const FieldValues<T>& items, WriteContext& ctx) {
    PyObject* const* keys = key_table<T>().data();
    Ref dict = new_record_dict(value, keys, ctx);
    if (!dict) return failed(ctx);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i] && PyDict_SetItem(dict.get(), keys[i], items[i].get()) < 0) return failed(ctx);
    return dict;
}

// A record that holds lists or records makes its values before its dict,
// so that the texts of plain values and rows are all made before any
// container (see texts_before_containers). A record of plain values makes
// its dict first and sets each value as it is made, while it is in cache.
template <convert::RecordType T>
Ref write_record(const T& value, WriteContext& ctx, LastIntegers<T>* last = nullptr) {
    if constexpr (!shallow_copy_safe<T>()) {
        FieldValues<T> items;
        if (!write_fields(value, items, ctx, last)) return Ref();
        return record_dict(value, items, ctx);
    } else {
        PyObject* const* keys = key_table<T>().data();
        Ref dict = new_record_dict(value, keys, ctx);
        if (!dict) return failed(ctx);
        bool ok = true;
        convert::for_each_field<T>([&](const auto& fld, auto i) {
            constexpr std::size_t I = decltype(i)::value;
            if (!ok || convert::left_out<T, I>(value)) return;
            const Ref item = write_field<T, I>(value, fld, ctx, last);
            ok = item && PyDict_SetItem(dict.get(), keys[I], item.get()) == 0;
            if (item && !ok) failed(ctx);
        });
        return ok ? std::move(dict) : Ref();
    }
}

// The record that a list's elements are, or hold when optional (void if none).
template <class T>
struct ListedRecord {
    using type = void;
};
template <convert::RecordType T>
struct ListedRecord<T> {
    using type = T;
};
template <convert::RecordType T>
struct ListedRecord<std::optional<T>> {
    using type = T;
};

template <class T>
Ref write_list(const std::vector<T>& items, WriteContext& ctx) {
    // The list is filled completely before anything refers to it; on a
    // failure its handle releases the elements stored so far (empty slots
    // are NULL, which the list's deallocation skips).
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return failed(ctx);
    using Record = typename ListedRecord<T>::type;
    [[maybe_unused]] std::conditional_t<convert::RecordType<Record>, LastIntegers<Record>, char> last{};
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref item;
        if constexpr (!convert::RecordType<Record>)
            item = write_value(items[i], ctx);
        else if constexpr (convert::is_optional_v<T>)
            item = items[i] ? write_record(*items[i], ctx, &last) : Ref::borrow(Py_None);
        else
            item = write_record(items[i], ctx, &last);
        if (!item) return Ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// Each table entry becomes a dict once; every further row naming it gets a
// copy of that dict (one copy of its slots), a distinct object as before.
// The values of every entry are made first, before the list and any dict.
template <convert::RecordType T>
Ref write_rows(const convert::Rows<T>& value, WriteContext& ctx) {
    static_assert(shallow_copy_safe<T>(), "rows share their values, which must be immutable");
    std::vector<FieldValues<T>> entry_values(value.table.size());
    for (std::size_t e = 0; e < value.table.size(); ++e)
        if (!write_fields(value.table[e], entry_values[e], ctx)) return Ref();
    std::vector<Ref> entry_dict(value.table.size());
    Ref list(PyList_New(static_cast<Py_ssize_t>(value.rows.size())));
    if (!list) return failed(ctx);
    for (std::size_t i = 0; i < value.rows.size(); ++i) {
        const std::uint32_t row = value.rows[i];
        Ref item;
        if (row == convert::Rows<T>::none) {
            item = Ref::borrow(Py_None);
        } else if (Ref& first = entry_dict.at(row); !first) {
            item = record_dict(value.table[row], entry_values[row], ctx);
            if (!item) return Ref();
            first = Ref::borrow(item.get());
        } else {
            item = Ref(PyDict_Copy(first.get()));
            if (!item) return failed(ctx);
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// Whether write_value makes every text of a T before its first container
// (list or dict), whose allocation may start the cycle collector and so run
// any finalizer: a plain value, rows (their entries' values come first), or
// a record that holds a container, as its last field alone, with plain
// values before it (its values are made before its dict).
template <class M>
constexpr bool texts_before_containers() {
    if constexpr (convert::is_optional_v<M>) {
        return texts_before_containers<typename M::value_type>();
    } else if constexpr (convert::is_rows_v<M>) {
        return true;
    } else if constexpr (convert::RecordType<M>) {
        if (shallow_copy_safe<M>()) return false;
        bool ok = true;
        convert::for_each_field<M>([&](const auto& fld, auto i) {
            using F = convert::member_t<decltype(fld)>;
            const bool last = decltype(i)::value + 1 == convert::field_count<M>;
            if (!immutable_value<F>() && !(last && texts_before_containers<F>())) ok = false;
        });
        return ok;
    } else {
        return immutable_value<M>();
    }
}

}  // namespace detail

template <class T>
Ref write_value(const T& value, WriteContext& ctx) {
    // Each new object is handed to its owning handle where it is made.
    if constexpr (std::is_same_v<T, double>) {
        return detail::adopt(PyFloat_FromDouble(value), ctx);
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return detail::adopt(PyLong_FromUnsignedLong(value), ctx);
    } else if constexpr (convert::is_signed_output_v<T>) {
        return detail::adopt(PyLong_FromLongLong(value), ctx);
    } else if constexpr (convert::is_text_v<T>) {
        return detail::adopt(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())), ctx);
    } else if constexpr (convert::is_optional_v<T>) {
        if (!value) return Ref::borrow(Py_None);
        return write_value(*value, ctx);
    } else if constexpr (convert::is_vector_v<T>) {
        return detail::write_list(value, ctx);
    } else if constexpr (convert::is_rows_v<T>) {
        return detail::write_rows(value, ctx);
    } else if constexpr (convert::EnumType<T>) {
        Ref name = Ref::borrow(interned(convert::enum_name(value)));
        if (!name) return detail::failed(ctx);
        return name;
    } else if constexpr (convert::TextFormType<T>) {
        const std::string text = convert::text_form(value);
        return detail::adopt(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), ctx);
    } else if constexpr (convert::RecordType<T>) {
        return detail::write_record(value, ctx);
    } else {
        static_assert(sizeof(T) == 0, "no object-mode writer for this member type");
    }
}

}  // namespace morvanta::py
