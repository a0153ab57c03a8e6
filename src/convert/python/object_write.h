// Object mode writing: a record into a new dict of plain values, generic over
// the record's field declaration. Every function returns a new reference, or
// NULL with `ctx.err` set to the text of the CPython failure; whatever was built
// before the failure is released by its owning handle.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert/python/pyerror.h"
#include "convert/record.h"
#include "util/hash.h"

namespace morvanta::py {

// State of one write: the error text, and the str objects already made for
// each distinct text. Results repeat texts heavily (every matched narration
// carries its rule's category and merchant), and one shared str per distinct
// text saves both the conversion and the memory. Keys view the C++ result,
// which outlives the write.
class WriteContext {
public:
    std::string err;

    PyObject* text(std::string_view value) {
        if (value.size() > kMaxCachedBytes || cache_.size() >= kMaxEntries) return make(value);
        auto [it, inserted] = cache_.try_emplace(value);
        if (inserted) {
            it->second = Ref(make(value));
            if (!it->second) {
                cache_.erase(it);
                return nullptr;
            }
        }
        PyObject* s = it->second.get();
        Py_INCREF(s);
        return s;
    }

private:
    static constexpr std::size_t kMaxCachedBytes = 64;
    static constexpr std::size_t kMaxEntries = 1 << 16;

    static PyObject* make(std::string_view value) {
        return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    }

    // The texts come from the request: hashed under the process's secret key.
    struct TextHash {
        std::size_t operator()(std::string_view s) const { return util::hash_bytes(util::process_hash_key(), s); }
    };
    std::unordered_map<std::string_view, Ref, TextHash> cache_;
};

template <class T>
Ref write_value(const T& value, WriteContext& ctx);

namespace detail {

inline Ref failed(WriteContext& ctx) {
    ctx.err = take_error_text();
    return Ref();
}

// Interned key objects of a record, created once per process.
template <convert::RecordType T>
PyObject* const* write_keys(WriteContext& ctx) {
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
            failed(ctx);
            return nullptr;
        }
        ready = true;
    }
    return keys.data();
}

template <convert::RecordType T>
Ref write_record(const T& value, WriteContext& ctx) {
    PyObject* const* keys = write_keys<T>(ctx);
    if (!keys) return Ref();
    Ref dict(PyDict_New());
    if (!dict) return failed(ctx);
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        if (!ok) return;
        const auto& member = value.*(fld.member);
        using M = std::decay_t<decltype(member)>;
        if constexpr (convert::is_optional_v<M>) {
            if (fld.presence == convert::Presence::OmitIfAbsent && !member) return;
        }
        Ref item = write_value(member, ctx);
        if (!item) {
            ok = false;
            return;
        }
        if (PyDict_SetItem(dict.get(), keys[decltype(i)::value], item.get()) < 0) {
            failed(ctx);
            ok = false;
        }
    });
    return ok ? std::move(dict) : Ref();
}

template <class T>
Ref write_list(const std::vector<T>& items, WriteContext& ctx) {
    // The list is filled completely before anything refers to it; on a
    // failure its handle releases the elements stored so far (empty slots
    // are NULL, which the list's deallocation skips).
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return failed(ctx);
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref item = write_value(items[i], ctx);
        if (!item) return Ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace detail

template <class T>
Ref write_value(const T& value, WriteContext& ctx) {
    Ref out;
    if constexpr (std::is_same_v<T, double>) {
        out = Ref(PyFloat_FromDouble(value));
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        out = Ref(PyLong_FromUnsignedLong(value));
    } else if constexpr (convert::is_signed_output_v<T>) {
        out = Ref(PyLong_FromLongLong(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        out = Ref(ctx.text(value));
    } else if constexpr (convert::is_optional_v<T>) {
        if (!value) return Ref::borrow(Py_None);
        return write_value(*value, ctx);
    } else if constexpr (convert::is_vector_v<T>) {
        return detail::write_list(value, ctx);
    } else if constexpr (convert::EnumType<T>) {
        out = Ref::borrow(interned(convert::enum_name(value)));
    } else if constexpr (convert::TextFormType<T>) {
        std::string text;
        convert::TextForm<T>::format(value, text);
        out = Ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    } else if constexpr (convert::RecordType<T>) {
        return detail::write_record(value, ctx);
    } else {
        static_assert(sizeof(T) == 0, "no object-mode writer for this member type");
    }
    if (!out) return detail::failed(ctx);
    return out;
}

}  // namespace morvanta::py
