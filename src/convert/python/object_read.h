// Object mode reading: a Python mapping into a record, generic over the
// record's field declaration. Every function returns false with `err` set on
// the first failure; nothing is read after it. An exception that passes
// through (see take_error_text) is left pending instead, with `err` empty.
//
// The error's note says where the read failed ("at data[300].narration").
// While the failure returns, `err.note` holds the path (convert/read_error.h),
// which read_request turns into the note.
#pragma once

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/python/capi.h"
#include "convert/python/free_threaded.h"
#include "convert/python/record_keys.h"
#include "convert/read_error.h"
#include "convert/record.h"
#include "util/prefetch.h"

namespace morvanta::py {

// Keeps alive, for one call, every object whose bytes the request's texts
// view: the str itself where its UTF-8 is read in place, else the bytes
// object it was encoded into. User code that runs during the read (a
// mapping's __getitem__, a number's __index__) may drop its own references
// to a str already read; the view stays valid all the same.
class TextOwners {
public:
    TextOwners() = default;
    // For texts read while no Python code runs: where a str's own UTF-8 is
    // viewed, the str is only noted, and referenced when hold() is called.
    // The reader calls it before anything that may run Python code, and
    // whoever reads the views after the read must be done with them before
    // any can run (the categorize writer makes its texts before its first
    // container, whose allocation may start the cycle collector). A plain
    // request of dicts, lists and strs so takes no reference to its texts,
    // nor lets go of them. Encoded copies are kept all the same. The
    // free-threaded build, where another thread may drop a str meanwhile,
    // holds every str as it is viewed.
    struct Deferred {};
    explicit TextOwners(Deferred) : hold_viewed_(!kBorrowInPlace) {}
    TextOwners(const TextOwners&) = delete;
    TextOwners& operator=(const TextOwners&) = delete;

    bool view(PyObject* str, std::string_view& out, std::string& err) {
        // Where the interpreter offers the str's own UTF-8 (every str on
        // 3.10 and later) the view is taken and the str kept or noted, one
        // call each: this runs for every text of a request.
        if (as_utf8_) {
            Py_ssize_t size = 0;
            const char* data = as_utf8_(str, &size);
            if (!data) {
                err = take_error_text();
                return false;
            }
            if (hold_viewed_)
                owners_.push_back(Ref::borrow(str));
            else
                noted_.push_back(str);
            out = {data, static_cast<std::size_t>(size)};
            return true;
        }
        Utf8 text;
        if (!text.load(str, err)) return false;
        owners_.push_back(text.owner(str));
        out = text.view();
        return true;
    }

    // Takes a reference to every str noted so far, and to each one viewed
    // from now on: Python code may run next.
    void hold() {
        if (hold_viewed_) return;
        hold_viewed_ = true;
        owners_.reserve(owners_.size() + noted_.size());
        for (PyObject* str : noted_) owners_.push_back(Ref::borrow(str));
        noted_ = {};
    }

    // Room for `more` texts beyond those already kept.
    void expect(std::size_t more) {
        if (hold_viewed_)
            owners_.reserve(owners_.size() + more);
        else
            noted_.reserve(noted_.size() + more);
    }
    // Lets go of every text kept or noted so far.
    void release() {
        owners_.clear();
        noted_.clear();
    }

private:
    detail::AsUtf8AndSize as_utf8_ = detail::as_utf8_and_size.load(std::memory_order_relaxed);
    bool hold_viewed_ = true;
    std::vector<Ref> owners_;
    std::vector<PyObject*> noted_;  // viewed, not referenced (see Deferred)
};

template <class T>
bool read_value(PyObject* obj, T& out, convert::ReadError& err, TextOwners& texts);

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
    return convert::all_fields<T>([](const auto& fld) { return read_runs_no_code<convert::member_t<decltype(fld)>>(); });
}

// How many texts a record of T keeps alive, at most.
template <convert::RecordType T>
constexpr std::size_t text_field_count() {
    return convert::count_fields<T>([](const auto& fld) {
        using M = convert::member_t<decltype(fld)>;
        return std::is_same_v<M, std::string_view> || std::is_same_v<M, std::optional<std::string_view>>;
    });
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

inline bool read_text(PyObject* obj, std::string_view& out, std::string& err, TextOwners& texts) {
    if (!is_str(obj)) {
        err = unexpected_type(obj, "PyString");
        return false;
    }
    return texts.view(obj, out, err);
}

// The key of a dict that has exactly one entry, else NULL (no exception).
inline Ref only_key(PyObject* dict) {
    Ref key;
    MORVANTA_BEGIN_CRITICAL_SECTION(dict);
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    if (PyDict_Size(dict) == 1 && PyDict_Next(dict, &pos, &k, &v)) key = Ref::borrow(k);
    MORVANTA_END_CRITICAL_SECTION();
    return key;
}

template <convert::EnumType E>
bool read_enum(PyObject* obj, E& out, std::string& err) {
    Ref name = Ref::borrow(obj);
    if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_DICT_SUBCLASS) {
        // Tagged form {"name": anything}: read through the dict's own entries.
        name = only_key(obj);
        if (!name) {
            err = "expected tagged enum dict to have exactly 1 key";
            return false;
        }
        if (!is_str(name.get())) {
            err = "dict keys must have type str";
            return false;
        }
    } else if (!is_str(obj)) {
        err = "expected either a str or dict for enum";
        return false;
    }
    Utf8 text;
    if (!text.load(name.get(), err)) return false;
    auto value = convert::enum_from_name<E>(text.view());
    if (!value) {
        err = convert::unknown_variant<E>(text.view());
        return false;
    }
    out = *value;
    return true;
}

// Elements of an exact list fetched ahead while it stays unchanged.
inline constexpr Py_ssize_t kListAhead = 16;

template <class T>
bool read_list(PyObject* obj, std::vector<T>& out, convert::ReadError& err, TextOwners& texts) {
    // Any other sequence runs its own methods (and isinstance its checks).
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) texts.hold();
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
    // Whether no Python code has run since len() was taken, so that the
    // list's own slots can be read and fetched ahead. Reading a dict of
    // fields that run no code keeps it so; with the interpreter lock only.
    bool unchanged = kBorrowInPlace && exact_list;
    constexpr bool kElementsRunNoCode = [] {
        if constexpr (convert::RecordType<T>) return fields_read_run_no_code<T>();
        return false;
    }();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* element = nullptr;
        Ref item;
        if (unchanged) {
            // The elements of a long list are scattered over memory; each read
            // begins with its header, fetched here while earlier ones are read.
            if (i + kListAhead < n) util::prefetch(PyList_GetItem(obj, i + kListAhead));
            element = PyList_GetItem(obj, i);
            unchanged = kElementsRunNoCode && PyDict_CheckExact(element);
        }
        if (!unchanged) {
            // Held by a strong reference: reading it may run Python code that
            // changes the list.
            item = exact_list ? list_item(obj, i) : Ref(PySequence_GetItem(obj, i));
            element = item.get();
        }
        if (!element) {
            err.message = take_error_text();
        } else if (read_value(element, out.emplace_back(), err, texts)) {
            continue;
        }
        convert::path_in_index(err.note, static_cast<std::size_t>(i));
        return false;
    }
    return true;
}

// The entries of a mapping being read as a record, in its iteration order.
// Each source offers next_key(key, err) (the key at the next position,
// borrowed from the source until the next call) and value(err) (the value
// at that key's position, or NULL with err set). There are three:
// DictInPlace, DictSnapshot and MappingLists; read_record picks one.

// An exact dict whose field values run no Python code, walked with
// PyDict_Next and its own references borrowed: nothing can change the dict
// while it is read. With the interpreter lock only.
class DictInPlace {
public:
    explicit DictInPlace(PyObject* dict) : dict_(dict), left_(PyDict_Size(dict)) {}

    convert::Step next_key(PyObject*& key, convert::ReadError&) {
        if (left_-- <= 0 || !PyDict_Next(dict_, &pos_, &key, &value_)) return convert::Step::End;
        return convert::Step::Item;
    }
    PyObject* value(convert::ReadError&) const { return value_; }

private:
    PyObject* dict_;
    Py_ssize_t left_;
    Py_ssize_t pos_ = 0;
    PyObject* value_ = nullptr;
};

// Any other exact dict: its entries are taken first, as strong references,
// since reading a value may run code that changes the dict. Room for
// `Inline` entries inside the source, more on the heap.
template <std::size_t Inline>
class DictSnapshot {
public:
    explicit DictSnapshot(PyObject* dict) { snapshot(dict); }
    DictSnapshot(const DictSnapshot&) = delete;
    DictSnapshot& operator=(const DictSnapshot&) = delete;

    convert::Step next_key(PyObject*& key, convert::ReadError&) {
        if (at_ == size_) return convert::Step::End;
        key = entries_[at_++].key.get();
        return convert::Step::Item;
    }
    PyObject* value(convert::ReadError&) const { return entries_[at_ - 1].value.get(); }

private:
    struct Entry {
        Ref key, value;
    };

    // The free-threaded build takes the references inside a critical
    // section on the dict, which no other thread can change meanwhile.
    // Nothing inside it allocates or runs Python code, so the room is made
    // first, and made again should the dict have grown in between.
    void snapshot(PyObject* dict) {
        for (;;) {
            const Py_ssize_t room = PyDict_Size(dict);
            entries_ = inline_.data();
            if (room > static_cast<Py_ssize_t>(Inline)) {
                heap_.resize(static_cast<std::size_t>(room));
                entries_ = heap_.data();
            }
            bool fits = true;
            MORVANTA_BEGIN_CRITICAL_SECTION(dict);
            fits = take_entries(dict, room);
            MORVANTA_END_CRITICAL_SECTION();
            if (fits) return;
            for (Py_ssize_t i = 0; i < size_; ++i) entries_[i] = Entry{};
        }
    }

    bool take_entries(PyObject* dict, Py_ssize_t room) noexcept {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        size_ = 0;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (size_ == room) return false;
            entries_[size_].key = Ref::borrow(k);
            entries_[size_].value = Ref::borrow(v);
            ++size_;
        }
        return true;
    }

    std::array<Entry, Inline> inline_;
    std::vector<Entry> heap_;
    Entry* entries_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t at_ = 0;
};

// Any other mapping: its keys() and values() lists and its len(), taken
// once. At each position the key is fetched (and checked by the caller)
// before the value at the same position.
class MappingLists {
public:
    bool open(PyObject* obj, convert::ReadError& err) {
        keys_ = Ref(PyMapping_Keys(obj));
        if (keys_) values_ = Ref(PyMapping_Values(obj));
        if (values_) size_ = PyMapping_Size(obj);
        if (keys_ && values_ && size_ >= 0) return true;
        err.message = take_error_text();
        return false;
    }

    convert::Step next_key(PyObject*& key, convert::ReadError& err) {
        if (at_ >= size_) return convert::Step::End;
        key_ = Ref(PySequence_GetItem(keys_.get(), at_++));
        key = key_.get();
        if (key) return convert::Step::Item;
        err.message = take_error_text();
        return convert::Step::Fail;
    }
    PyObject* value(convert::ReadError& err) {
        value_ = Ref(PySequence_GetItem(values_.get(), at_ - 1));
        if (!value_) err.message = take_error_text();
        return value_.get();
    }

private:
    Ref keys_, values_, key_, value_;
    Py_ssize_t size_ = 0;
    Py_ssize_t at_ = 0;
};

// Matches one mapping key against the record's external keys and the fields
// already read (`seen`): the field's index, or -1 for a key that names no
// field; nullopt, with `err` set, for a key that fails the read.
template <convert::RecordType T>
std::optional<int> match_key(PyObject* key, std::uint64_t seen, convert::ReadError& err) {
    // Keys written as literals in Python code are interned, so they are
    // usually the very objects of the key table (all of them str); check
    // the type and compare text otherwise.
    const KeyTable<T>& table = key_table<T>();
    int index = -1;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == key) index = static_cast<int>(i);
    if (index < 0) {
        if (!is_str(key)) {
            err.message = "dict keys must have type str";
            return std::nullopt;
        }
        Utf8 text;
        if (!text.load(key, err.message)) return std::nullopt;
        index = convert::find_field<T>(text.view());
        if (index < 0) return -1;  // unknown keys are skipped, values unseen
    }
    if (seen & (std::uint64_t{1} << index)) {
        err.message = convert::duplicate_field_message(convert::field_key<T>(static_cast<std::size_t>(index)));
        return std::nullopt;
    }
    return index;
}

// The field whose key is the very object `key` of the key table (as keys
// written in Python code are), if that field is not read yet; else -1, and
// match_key decides.
template <convert::RecordType T>
[[gnu::always_inline]] inline int interned_field(PyObject* key, std::uint64_t seen) {
    const KeyTable<T>& table = key_table<T>();
    int index = -1;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == key && !(seen >> i & 1u)) index = static_cast<int>(i);
    return index;
}

// Reads the value of field `index` (from match_key) into the record.
template <convert::RecordType T>
[[gnu::always_inline]] inline bool read_field(int index, PyObject* value, T& out, std::uint64_t& seen, convert::ReadError& err,
                TextOwners& texts) {
    seen |= std::uint64_t{1} << index;
    const bool ok = convert::visit_field<T, bool>(static_cast<std::size_t>(index), [&](const auto& fld, auto) {
        return read_value(value, out.*(fld.member), err, texts);
    });
    if (!ok) convert::path_in_key(err.note, convert::field_key<T>(static_cast<std::size_t>(index)));
    return ok;
}

// The one read loop of a record: each entry's key is matched, then its
// value fetched and, for a field, read; the first failure ends the read.
template <convert::RecordType T, class Source>
bool read_entries(Source& entries, T& out, convert::ReadError& err, TextOwners& texts) {
    std::uint64_t seen = 0;
    for (;;) {
        PyObject* key = nullptr;
        const convert::Step step = entries.next_key(key, err);
        if (step == convert::Step::End) break;
        if (step == convert::Step::Fail) return false;
        int index = interned_field<T>(key, seen);
        if (index < 0) {
            const std::optional<int> matched = match_key<T>(key, seen, err);
            if (!matched) return false;
            index = *matched;
        }
        PyObject* value = entries.value(err);
        if (!value) {
            if (index >= 0) convert::path_in_key(err.note, convert::field_key<T>(static_cast<std::size_t>(index)));
            return false;
        }
        if (index >= 0 && !read_field(index, value, out, seen, err, texts)) return false;
    }
    const int missing = convert::first_missing_required<T>(seen);
    if (missing < 0) return true;
    err.message = convert::missing_field_message(convert::field_key<T>(static_cast<std::size_t>(missing)));
    return false;
}

template <convert::RecordType T>
bool read_record(PyObject* obj, T& out, convert::ReadError& err, TextOwners& texts) {
    // Any other mapping runs its own methods (and isinstance its checks).
    if (!PyDict_CheckExact(obj)) texts.hold();
    if (!PyDict_CheckExact(obj) && !is_mapping(obj)) {
        if (!PyErr_Occurred()) err.message = unexpected_type(obj, "Mapping");
        return false;
    }
    if (PyDict_CheckExact(obj)) {
        if constexpr (kBorrowInPlace && fields_read_run_no_code<T>()) {
            DictInPlace entries(obj);
            return read_entries(entries, out, err, texts);
        } else {
            DictSnapshot<convert::field_count<T>> entries(obj);
            return read_entries(entries, out, err, texts);
        }
    }
    MappingLists entries;
    return entries.open(obj, err) && read_entries(entries, out, err, texts);
}

}  // namespace detail

template <class T>
bool read_value(PyObject* obj, T& out, convert::ReadError& err, TextOwners& texts) {
    if constexpr (std::is_same_v<T, double>) {
        // Another number may call its __float__ or __index__.
        if (!PyFloat_CheckExact(obj) && !PyLong_CheckExact(obj)) texts.hold();
        return detail::read_f64(obj, out, err.message);
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_LONG_SUBCLASS)) texts.hold();
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
bool read_request(PyObject* obj, T& out, convert::ReadError& err, TextOwners& texts) {
    if (read_value(obj, out, err, texts)) return true;
    err.note = convert::path_note(err.note);
    return false;
}

}  // namespace morvanta::py
