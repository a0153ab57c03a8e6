// The external keys of a record as interned str objects: one table per
// record, made once per process, shared by the object-mode reader (which
// matches keys written in Python code by identity) and the writer (which
// stores its values under them).
#pragma once

#include <array>
#include <atomic>
#include <memory>
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

// Made on first use and kept for the life of the process. No lock and no
// guarded static: a thread waiting on one while another makes the table
// could hold up a garbage collection that the maker's allocation starts.
// Threads that find no table at once each make one; interned() gives them
// the very same objects, the first table published is kept and the others
// are dropped.
template <convert::RecordType T>
const KeyTable<T>& key_table() {
    static std::atomic<const KeyTable<T>*> published{nullptr};
    if (const KeyTable<T>* table = published.load(std::memory_order_acquire)) return *table;
    auto made = std::make_unique<const KeyTable<T>>(detail::make_key_table<T>());
    const KeyTable<T>* expected = nullptr;
    if (!published.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *expected;
    return *made.release();
}

}  // namespace morvanta::py
