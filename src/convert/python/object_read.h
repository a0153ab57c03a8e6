// Object mode reading: a Python mapping into a record, generic over the
// record's field declaration. Every function returns false with `err` set on
// the first failure; nothing is read after it. An exception that passes
// through (see take_error_text) is left pending instead, with `err` empty.
//
// The error's note says where the read failed ("at data[300].narration"). It
// is built only on failure: each level puts its key or index in front while
// the failure returns, so a successful read spends nothing on it.
#pragma once

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "convert/python/keys.h"
#include "convert/python/pyerror.h"
#include "convert/read_error.h"
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

    // Room for `more` texts beyond those already kept.
    void expect(std::size_t more) { owners_.reserve(owners_.size() + more); }

private:
    std::vector<Ref> owners_;
};

template <class T>
bool read_value(PyObject* obj, T& out, convert::ReadError& err, Borrowed& texts);

namespace detail {

// Whether reading a value of type M can run no Python code: a text, an
// enumeration or a text form is read through the C API alone (its type test,
// its UTF-8), where a number may call __float__ or __index__ and a list or
// record calls the methods of a sequence or mapping.
template <class M>
constexpr bool read_runs_no_code() {
    if constexpr (convert::is_optional_v<M>)
        return read_runs_no_code<typename M::value_type>();
    else
        return std::is_same_v<M, std::string_view> || convert::EnumType<M> || convert::TextFormType<M>;
}

template <convert::RecordType T>
constexpr bool fields_read_run_no_code() {
    bool none = true;
    convert::for_each_field<T>([&](const auto& fld, auto) {
        none = none && read_runs_no_code<std::decay_t<decltype(std::declval<T&>().*(fld.member))>>();
    });
    return none;
}

// How many texts a record of T keeps alive, at most.
template <convert::RecordType T>
constexpr std::size_t text_field_count() {
    std::size_t n = 0;
    convert::for_each_field<T>([&](const auto& fld, auto) {
        using M = std::decay_t<decltype(std::declval<T&>().*(fld.member))>;
        if constexpr (std::is_same_v<M, std::string_view> || std::is_same_v<M, std::optional<std::string_view>>) ++n;
    });
    return n;
}

inline void note_key(convert::ReadError& err, std::string_view key) {
    err.note.insert(0, key);
    err.note.insert(0, 1, '.');
}

inline void note_index(convert::ReadError& err, Py_ssize_t index) {
    std::string step = "[";  // built in steps: GCC 12 misreads "[" + std::string as an overlapping copy
    step += std::to_string(index);
    step += ']';
    err.note.insert(0, step);
}

// How many elements to reserve for a sequence whose len() said `n`. __len__
// may lie, so reserve no more than a list or tuple really holds, and only a
// modest start for any other sequence; the vector grows from there.
inline std::size_t reserve_hint(PyObject* obj, Py_ssize_t n) {
    constexpr Py_ssize_t kOtherSequences = 1024;
    const unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
    Py_ssize_t bound = kOtherSequences;
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) bound = PyList_Size(obj);
    else if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) bound = PyTuple_Size(obj);
    return static_cast<std::size_t>(std::max<Py_ssize_t>(0, std::min(n, bound)));
}

// Asks the processor to fetch an object's header ahead of its use. The
// elements of a long list are scattered over memory, and reading each one
// begins with a wait for its header (its type), unless it was fetched while
// the elements before it were read. A hint only: a stale pointer is harmless.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

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
bool read_list(PyObject* obj, std::vector<T>& out, convert::ReadError& err, Borrowed& texts) {
    if (!is_sequence(obj)) {
        if (!PyErr_Occurred()) err.message = unexpected_type(obj, "Sequence");
        return false;
    }
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        err.message = take_error_text();
        return false;
    }
    out.clear();
    const std::size_t hint = reserve_hint(obj, n);
    out.reserve(hint);
    if constexpr (convert::RecordType<T>) texts.expect(hint * text_field_count<T>());
    const bool exact_list = PyList_CheckExact(obj);
    bool unchanged = exact_list;  // no Python code has run since len() was taken
    constexpr Py_ssize_t kAhead = 16;  // elements fetched ahead, while the list stays unchanged
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (unchanged && i + kAhead < n) prefetch(PyList_GetItem(obj, i + kAhead));
        PyObject* element = exact_list && (unchanged || i < PyList_Size(obj)) ? PyList_GetItem(obj, i) : nullptr;
        // A dict of fields that run no code is read with the list's own
        // reference; any other element is held by a strong one, since
        // reading it may run Python code that changes the list.
        Ref item;
        bool runs_no_code = false;
        if constexpr (convert::RecordType<T>)
            runs_no_code = fields_read_run_no_code<T>() && element && PyDict_CheckExact(element);
        if (!runs_no_code) {
            element = (item = element ? Ref::borrow(element) : Ref(PySequence_GetItem(obj, i))).get();
            unchanged = false;
        }
        if (!element) {
            err.message = take_error_text();
        } else if (read_value(element, out.emplace_back(), err, texts)) {
            continue;
        }
        note_index(err, i);
        return false;
    }
    return true;
}

// The record's external keys as interned str objects, made once per process.
// While they cannot be made every entry is NULL, and keys are matched by text.
template <convert::RecordType T>
const std::array<PyObject*, convert::field_count<T>>& key_table() {
    static constexpr std::array<PyObject*, convert::field_count<T>> none{};
    const KeyObjects<T>* keys = record_keys<T>();
    if (!keys) PyErr_Clear();
    return keys ? *keys : none;
}

constexpr int kKeyFailed = -2;

// Matches one mapping key against the record's external keys and the fields
// already read (`seen`): the field's index, -1 for a key that names no field,
// or kKeyFailed.
template <convert::RecordType T>
int match_key(PyObject* key, std::uint64_t seen, convert::ReadError& err) {
    if (!is_str(key)) {
        err.message = "dict keys must have type str";
        return kKeyFailed;
    }
    // Keys written as literals in Python code are interned, so they are
    // usually the very objects of the key table; compare text otherwise.
    const auto& table = key_table<T>();
    int index = -1;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == key) index = static_cast<int>(i);
    if (index < 0) {
        Utf8 text;
        if (!text.load(key, err.message)) return kKeyFailed;
        index = convert::find_field<T>(text.view());
        if (index < 0) return -1;  // unknown keys are skipped, values unseen
    }
    if (seen & (std::uint64_t{1} << index)) {
        err.message = convert::duplicate_field_message(convert::field_key<T>(static_cast<std::size_t>(index)));
        return kKeyFailed;
    }
    return index;
}

// Reads the value of field `index` (from match_key) into the record.
template <convert::RecordType T>
bool read_field(int index, PyObject* value, T& out, std::uint64_t& seen, convert::ReadError& err,
                Borrowed& texts) {
    seen |= std::uint64_t{1} << index;
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        if (decltype(i)::value == static_cast<std::size_t>(index)) ok = read_value(value, out.*(fld.member), err, texts);
    });
    if (!ok) note_key(err, convert::field_key<T>(static_cast<std::size_t>(index)));
    return ok;
}

enum class Step { Unmatched, Read, Failed };

// Reads the field whose key is the very object `key` of the key table (as
// keys written in Python code are) at once; any other key, and one whose
// field was read already, is left to match_key.
template <convert::RecordType T>
Step read_interned_field(PyObject* key, PyObject* value, T& out, std::uint64_t& seen, convert::ReadError& err,
                         Borrowed& texts) {
    const auto& table = key_table<T>();
    Step step = Step::Unmatched;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        constexpr std::uint64_t bit = std::uint64_t{1} << decltype(i)::value;
        if (step != Step::Unmatched || key != table[decltype(i)::value] || (seen & bit)) return;
        seen |= bit;
        step = read_value(value, out.*(fld.member), err, texts) ? Step::Read : Step::Failed;
        if (step == Step::Failed) note_key(err, fld.key);
    });
    return step;
}

template <convert::RecordType T>
bool read_record(PyObject* obj, T& out, convert::ReadError& err, Borrowed& texts) {
    if (!PyDict_CheckExact(obj) && !is_mapping(obj)) {
        if (!PyErr_Occurred()) err.message = unexpected_type(obj, "Mapping");
        return false;
    }
    std::uint64_t seen = 0;
    if (PyDict_CheckExact(obj) && fields_read_run_no_code<T>()) {
        // Nothing here runs Python code, so the dict cannot change while its
        // entries are walked: they are read in place.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (Py_ssize_t left = PyDict_Size(obj); left > 0 && PyDict_Next(obj, &pos, &k, &v); --left) {
            const Step step = read_interned_field(k, v, out, seen, err, texts);
            if (step == Step::Read) continue;
            if (step == Step::Failed) return false;
            const int index = match_key<T>(k, seen, err);
            if (index == kKeyFailed) return false;
            if (index >= 0 && !read_field(index, v, out, seen, err, texts)) return false;
        }
    } else if (PyDict_CheckExact(obj)) {
        // Snapshot the entries first, as a key and value list would: reading a
        // value may run Python code that changes the dict.
        struct Entry {
            Ref key, value;
        };
        constexpr Py_ssize_t kInline = convert::field_count<T>;
        std::array<Entry, kInline> inline_entries;
        std::vector<Entry> heap_entries;
        const Py_ssize_t size = PyDict_Size(obj);
        Entry* entries = inline_entries.data();
        if (size > kInline) {
            heap_entries.resize(static_cast<std::size_t>(size));
            entries = heap_entries.data();
        }
        Py_ssize_t pos = 0, count = 0;
        PyObject *k, *v;
        while (count < size && PyDict_Next(obj, &pos, &k, &v)) {
            entries[count].key = Ref::borrow(k);
            entries[count].value = Ref::borrow(v);
            ++count;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            const int index = match_key<T>(entries[i].key.get(), seen, err);
            if (index == kKeyFailed) return false;
            if (index >= 0 && !read_field(index, entries[i].value.get(), out, seen, err, texts)) return false;
        }
    } else {
        Ref keys(PyMapping_Keys(obj));
        if (!keys) {
            err.message = take_error_text();
            return false;
        }
        Ref values(PyMapping_Values(obj));
        if (!values) {
            err.message = take_error_text();
            return false;
        }
        const Py_ssize_t size = PyMapping_Size(obj);
        if (size < 0) {
            err.message = take_error_text();
            return false;
        }
        // At each position the key is fetched and checked (type, name,
        // duplicate) before the value at that position is fetched.
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref key(PySequence_GetItem(keys.get(), i));
            if (!key) {
                err.message = take_error_text();
                return false;
            }
            const int index = match_key<T>(key.get(), seen, err);
            if (index == kKeyFailed) return false;
            Ref value(PySequence_GetItem(values.get(), i));
            if (!value) {
                err.message = take_error_text();
                if (index >= 0) note_key(err, convert::field_key<T>(static_cast<std::size_t>(index)));
                return false;
            }
            if (index >= 0 && !read_field(index, value.get(), out, seen, err, texts)) return false;
        }
    }
    const int missing = convert::first_missing_required<T>(seen);
    if (missing >= 0) {
        err.message = convert::missing_field_message(convert::field_key<T>(static_cast<std::size_t>(missing)));
        return false;
    }
    return true;
}

}  // namespace detail

template <class T>
bool read_value(PyObject* obj, T& out, convert::ReadError& err, Borrowed& texts) {
    if constexpr (std::is_same_v<T, double>) {
        return detail::read_f64(obj, out, err.message);
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return detail::read_u32(obj, out, err.message);
    } else if constexpr (std::is_same_v<T, std::string_view>) {
        return detail::read_text(obj, out, err.message, texts);
    } else if constexpr (convert::is_optional_v<T>) {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        return read_value(obj, out.emplace(), err, texts);
    } else if constexpr (convert::is_vector_v<T>) {
        return detail::read_list(obj, out, err, texts);
    } else if constexpr (convert::EnumType<T>) {
        return detail::read_enum(obj, out, err.message);
    } else if constexpr (convert::TextFormType<T>) {
        // Parsed at once: the value keeps nothing of the text.
        if (!is_str(obj)) {
            err.message = unexpected_type(obj, "PyString");
            return false;
        }
        Utf8 text;
        if (!text.load(obj, err.message)) return false;
        auto parsed = convert::TextForm<T>::parse(text.view());
        if (!parsed) {
            err.message = std::move(parsed).error();
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

// Reads a whole request, whose texts view objects that `texts` keeps. On
// failure `err.note` is "at " and the path to the failing value, or empty
// for a failure at the top level of the request.
template <convert::RecordType T>
bool read_request(PyObject* obj, T& out, convert::ReadError& err, Borrowed& texts) {
    if (read_value(obj, out, err, texts)) return true;
    if (!err.note.empty()) err.note.replace(0, 1, "at ");  // the path starts ".key"
    return false;
}

}  // namespace morvanta::py
