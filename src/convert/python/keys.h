// The external keys of a record as interned str objects, shared by the
// object-mode reader and writer.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "convert/python/pyerror.h"
#include "convert/record.h"

namespace morvanta::py {

template <convert::RecordType T>
using KeyObjects = std::array<PyObject*, convert::field_count<T>>;

// T's keys, made on first use and kept for the life of the process; NULL,
// with the exception set, if one could not be made (a later call tries
// again). Threads that find no table at once each make one; interned() gives
// them the very same objects, the first table published is kept and the
// others are dropped. No lock is held while Python code runs, so a thread
// that waits here can never hold up the interpreter.
template <convert::RecordType T>
const KeyObjects<T>* record_keys() {
    static std::atomic<const KeyObjects<T>*> published{nullptr};
    if (const KeyObjects<T>* table = published.load(std::memory_order_acquire)) return table;
    auto made = std::make_unique<KeyObjects<T>>();
    bool ok = true;
    convert::for_each_field<T>([&](const auto& fld, auto i) {
        if (ok) ok = ((*made)[decltype(i)::value] = interned(fld.key)) != nullptr;
    });
    if (!ok) return nullptr;
    const KeyObjects<T>* expected = nullptr;
    if (!published.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return expected;
    return made.release();  // kept for the life of the process, as the keys are
}

}  // namespace morvanta::py
