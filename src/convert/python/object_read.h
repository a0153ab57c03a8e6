// Object mode reading: a Python mapping into a record, generic over the
// record's field declaration. Every function returns false with `err` set on
// the first failure; nothing is read after it.
#pragma once

#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "convert/python/pyerror.h"
#include "convert/record.h"

namespace morvanta::py {

// Keeps alive, for one call, every object whose bytes the request's texts
// view: the str itself where its UTF-8 is read in place, else the bytes
// object it was encoded into. User code that runs during the read (a
// mapping's __getitem__, a number's __index__) may drop its own references
// to a str already read; the view stays valid all the same.
class Borrowed {
public:
    bool view(PyObject* str, std::string_view& out, std::string& err) {
        Utf8 text;
        if (!text.load(str, err)) return false;
        owners_.push_back(text.owner(str));
        out = text.view();
        return true;
    }

private:
    std::vector<Ref> owners_;
};

template <class T>
bool read_value(PyObject* obj, T& out, std::string& err, Borrowed& texts);

namespace detail {

inline bool read_f64(PyObject* obj, double& out, std::string& err) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        err = take_error_text();
        return false;
    }
    out = v;
    return true;
}

inline bool read_u32(PyObject* obj, std::uint32_t& out, std::string& err) {
    long v;
    if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_LONG_SUBCLASS) {
        v = PyLong_AsLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) {
            err = take_error_text();
            return false;
        }
        v = PyLong_AsLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) {
        err = take_error_text();
        return false;
    }
    if (v < 0 || v > static_cast<long>(std::numeric_limits<std::uint32_t>::max())) {
        err = "OverflowError: out of range integral type conversion attempted";
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

inline bool read_text(PyObject* obj, std::string_view& out, std::string& err, Borrowed& texts) {
    if (!is_str(obj)) {
        err = unexpected_type(obj, "PyString");
        return false;
    }
    return texts.view(obj, out, err);
}

template <convert::EnumType E>
bool read_enum(PyObject* obj, E& out, std::string& err) {
    PyObject* name = obj;
    if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_DICT_SUBCLASS) {
        // Tagged form {"name": anything}: read through the dict's own entries.
        if (PyDict_Size(obj) != 1) {
            err = "expected tagged enum dict to have exactly 1 key";
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject* value = nullptr;
        PyDict_Next(obj, &pos, &name, &value);
        if (!is_str(name)) {
            err = "dict keys must have type str";
            return false;
        }
    } else if (!is_str(obj)) {
        err = "expected either a str or dict for enum";
        return false;
    }
    Ref keep = Ref::borrow(name);
    Utf8 text;
    if (!text.load(name, err)) return false;
    auto value = convert::enum_from_name<E>(text.view());
    if (!value) {
        err = convert::unknown_variant<E>(text.view());
        return false;
    }
    out = *value;
    return true;
}

template <class T>
bool read_list(PyObject* obj, std::vector<T>& out, std::string& err, Borrowed& texts) {
    if (!is_sequence(obj)) {
        err = unexpected_type(obj, "Sequence");
        return false;
    }
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        err = take_error_text();
        return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    const bool exact_list = PyList_CheckExact(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A strong reference, since reading the element may run Python code
        // that changes the list.
        Ref item = exact_list && i < PyList_Size(obj) ? Ref::borrow(PyList_GetItem(obj, i))
                                                       : Ref(PySequence_GetItem(obj, i));
        if (!item) {
            err = take_error_text();
            return false;
        }
        if (!read_value(item.get(), out.emplace_back(), err, texts)) return false;
    }
    return true;
}

// The record's external keys as interned str objects, made once per process.
// An entry is NULL if creating it failed; such a key is then matched by text.
template <convert::RecordType T>
const std::array<PyObject*, convert::field_count<T>>& key_table() {
    static const auto table = [] {
        std::array<PyObject*, convert::field_count<T>> t{};
        convert::for_each_field<T>([&](const auto& fld, auto i) {
            t[decltype(i)::value] = interned(fld.key);
            if (!t[decltype(i)::value]) PyErr_Clear();
        });
        return t;
    }();
    return table;
}

// Reads one mapping entry into the record; `seen` tracks fields already read.
template <convert::RecordType T>
bool read_member(PyObject* key, PyObject* value, T& out, std::uint64_t& seen, std::string& err, Borrowed& texts) {
    if (!is_str(key)) {
        err = "dict keys must have type str";
        return false;
    }
    // Keys written as literals in Python code are interned, so they are
    // usually the very objects of the key table; compare text otherwise.
    const auto& table = key_table<T>();
    int index = -1;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == key) index = static_cast<int>(i);
    if (index < 0) {
        Utf8 text;
        if (!text.load(key, err)) return false;
        index = convert::find_field<T>(text.view());
        if (index < 0) return true;  // unknown keys are skipped, values unseen
    }
    const std::uint64_t bit = std::uint64_t{1} << index;
    if (seen & bit) {
        err = convert::duplicate_field_message(convert::field_key<T>(static_cast<std::size_t>(index)));
        return false;
    }
    seen |= bit;
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        if (decltype(i)::value == static_cast<std::size_t>(index)) ok = read_value(value, out.*(fld.member), err, texts);
    });
    return ok;
}

template <convert::RecordType T>
bool read_record(PyObject* obj, T& out, std::string& err, Borrowed& texts) {
    if (!is_mapping(obj)) {
        err = unexpected_type(obj, "Mapping");
        return false;
    }
    std::uint64_t seen = 0;
    if (PyDict_CheckExact(obj)) {
        // Snapshot the entries first, as a key and value list would: reading a
        // value may run Python code that changes the dict.
        constexpr Py_ssize_t kInline = 16;
        std::array<PyObject*, 2 * kInline> inline_refs;
        std::vector<PyObject*> heap_refs;
        const Py_ssize_t size = PyDict_Size(obj);
        PyObject** refs = inline_refs.data();
        if (size > kInline) {
            heap_refs.resize(static_cast<std::size_t>(2 * size));
            refs = heap_refs.data();
        }
        Py_ssize_t pos = 0, count = 0;
        PyObject *k, *v;
        while (count < size && PyDict_Next(obj, &pos, &k, &v)) {
            Py_INCREF(k);
            Py_INCREF(v);
            refs[2 * count] = k;
            refs[2 * count + 1] = v;
            ++count;
        }
        bool ok = true;
        for (Py_ssize_t i = 0; i < count && ok; ++i) ok = read_member(refs[2 * i], refs[2 * i + 1], out, seen, err, texts);
        for (Py_ssize_t i = 0; i < 2 * count; ++i) Py_DECREF(refs[i]);
        if (!ok) return false;
    } else {
        Ref keys(PyMapping_Keys(obj));
        if (!keys) {
            err = take_error_text();
            return false;
        }
        Ref values(PyMapping_Values(obj));
        if (!values) {
            err = take_error_text();
            return false;
        }
        const Py_ssize_t size = PyMapping_Size(obj);
        if (size < 0) {
            err = take_error_text();
            return false;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref key(PySequence_GetItem(keys.get(), i));
            if (!key) {
                err = take_error_text();
                return false;
            }
            Ref value(PySequence_GetItem(values.get(), i));
            if (!value) {
                err = take_error_text();
                return false;
            }
            if (!read_member(key.get(), value.get(), out, seen, err, texts)) return false;
        }
    }
    const int missing = convert::first_missing_required<T>(seen);
    if (missing >= 0) {
        err = convert::missing_field_message(convert::field_key<T>(static_cast<std::size_t>(missing)));
        return false;
    }
    return true;
}

}  // namespace detail

template <class T>
bool read_value(PyObject* obj, T& out, std::string& err, Borrowed& texts) {
    if constexpr (std::is_same_v<T, double>) {
        return detail::read_f64(obj, out, err);
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return detail::read_u32(obj, out, err);
    } else if constexpr (std::is_same_v<T, std::string_view>) {
        return detail::read_text(obj, out, err, texts);
    } else if constexpr (convert::is_optional_v<T>) {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        return read_value(obj, out.emplace(), err, texts);
    } else if constexpr (convert::is_vector_v<T>) {
        return detail::read_list(obj, out, err, texts);
    } else if constexpr (convert::EnumType<T>) {
        return detail::read_enum(obj, out, err);
    } else if constexpr (convert::TextFormType<T>) {
        // Parsed at once: the value keeps nothing of the text.
        if (!is_str(obj)) {
            err = unexpected_type(obj, "PyString");
            return false;
        }
        Utf8 text;
        if (!text.load(obj, err)) return false;
        auto parsed = convert::TextForm<T>::parse(text.view());
        if (!parsed) {
            err = std::move(parsed).error();
            return false;
        }
        out = std::move(*parsed);
        return true;
    } else if constexpr (convert::RecordType<T>) {
        return detail::read_record(obj, out, err, texts);
    } else {
        static_assert(sizeof(T) == 0, "no object-mode reader for this member type");
        return false;
    }
}

}  // namespace morvanta::py
