// Object mode writing: a record into a new dict of plain values, generic over
// the record's field declaration. Every function returns a new reference, or
// NULL with `err` set to the text of the CPython failure; whatever was built
// before the failure is released by its owning handle.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "convert/python/pyerror.h"
#include "convert/record.h"

namespace morvanta::py {

template <class T>
Ref write_value(const T& value, std::string& err);

namespace detail {

inline Ref failed(std::string& err) {
    err = take_error_text();
    return Ref();
}

// Interned key objects of a record, created once per process.
template <convert::RecordType T>
PyObject* const* write_keys(std::string& err) {
    static std::array<PyObject*, convert::field_count<T>> keys{};
    static bool ready = false;
    if (!ready) {
        bool ok = true;
        convert::for_each_field<T>([&](const auto& fld, auto i) {
            if (ok && !keys[decltype(i)::value]) {
                keys[decltype(i)::value] = interned(fld.key);
                ok = keys[decltype(i)::value] != nullptr;
            }
        });
        if (!ok) {
            failed(err);
            return nullptr;
        }
        ready = true;
    }
    return keys.data();
}

template <convert::RecordType T>
Ref write_record(const T& value, std::string& err) {
    PyObject* const* keys = write_keys<T>(err);
    if (!keys) return Ref();
    Ref dict(PyDict_New());
    if (!dict) return failed(err);
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        if (!ok) return;
        const auto& member = value.*(fld.member);
        using M = std::decay_t<decltype(member)>;
        if constexpr (convert::is_optional_v<M>) {
            if (fld.presence == convert::Presence::OmitIfAbsent && !member) return;
        }
        Ref item = write_value(member, err);
        if (!item) {
            ok = false;
            return;
        }
        if (PyDict_SetItem(dict.get(), keys[decltype(i)::value], item.get()) < 0) {
            failed(err);
            ok = false;
        }
    });
    return ok ? std::move(dict) : Ref();
}

template <class T>
Ref write_list(const std::vector<T>& items, std::string& err) {
    // The list is filled completely before anything refers to it; on a
    // failure its handle releases the elements stored so far (empty slots
    // are NULL, which the list's deallocation skips).
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return failed(err);
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref item = write_value(items[i], err);
        if (!item) return Ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace detail

template <class T>
Ref write_value(const T& value, std::string& err) {
    Ref out;
    if constexpr (std::is_same_v<T, double>) {
        out = Ref(PyFloat_FromDouble(value));
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        out = Ref(PyLong_FromUnsignedLong(value));
    } else if constexpr (convert::is_signed_output_v<T>) {
        out = Ref(PyLong_FromLongLong(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        out = Ref(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    } else if constexpr (convert::is_optional_v<T>) {
        if (!value) return Ref::borrow(Py_None);
        return write_value(*value, err);
    } else if constexpr (convert::is_vector_v<T>) {
        return detail::write_list(value, err);
    } else if constexpr (convert::EnumType<T>) {
        out = Ref::borrow(interned(convert::enum_name(value)));
    } else if constexpr (convert::TextFormType<T>) {
        std::string text;
        convert::TextForm<T>::format(value, text);
        out = Ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    } else if constexpr (convert::RecordType<T>) {
        return detail::write_record(value, err);
    } else {
        static_assert(sizeof(T) == 0, "no object-mode writer for this member type");
    }
    if (!out) return detail::failed(err);
    return out;
}

}  // namespace morvanta::py
