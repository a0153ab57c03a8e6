// The external keys of a record as interned str objects: one table per
// record, made once per process, shared by the object-mode reader (which
// matches keys written in Python code by identity) and the writer (which
// stores its values under them).
#pragma once

#include <array>
#include <new>

#include "convert/python/capi.h"
#include "convert/record.h"

namespace morvanta::py {

template <convert::RecordType T>
using KeyTable = std::array<PyObject*, convert::field_count<T>>;

namespace detail {

// Every key of T interned; a key that cannot be made (memory is exhausted)
// throws std::bad_alloc, so that the table is made again by the next call.
template <convert::RecordType T>
KeyTable<T> make_key_table() {
    KeyTable<T> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = interned(convert::key_list<T>[i]);
        if (!table[i]) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
    }
    return table;
}

}  // namespace detail

// Made on first use; the initialisation of a function-local static runs
// once even when several threads ask at the same time.
template <convert::RecordType T>
const KeyTable<T>& key_table() {
    static const KeyTable<T> table = detail::make_key_table<T>();
    return table;
}

}  // namespace morvanta::py
