#include "convert/python/categorize_object.h"

#include "categorizer/engine.h"

namespace morvanta::py {

using categorizer::CategorizeRequest;
using categorizer::CategorizeResponse;
using categorizer::Categorizer;
using categorizer::MapInput;
using Outcome = Expected<CategorizeResponse, convert::ReadError>;

namespace {

bool all_exact_dicts(PyObject* list) {
    const Py_ssize_t n = PyList_Size(list);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyDict_CheckExact(PyList_GetItem(list, i))) return false;
    return true;
}

// The failure of the request's field `index`, noted as a whole read notes it.
Outcome failed_in(int index, convert::ReadError&& err) {
    convert::path_in_key(err.note, convert::field_key<CategorizeRequest>(static_cast<std::size_t>(index)));
    err.note = convert::path_note(err.note);
    return Outcome(Unexpected{std::move(err)});
}

constexpr int kData = 0, kRules = 1;

// From this many narrations on, the pass pays: below it the narrations'
// views and objects stay in cache between the whole read and the match,
// and checking the rules' kind first costs more than it saves
// (benchmarks/run.py times both sides).
constexpr Py_ssize_t kStreamedNarrations = 8192;

// A narration's dict, fetched kListAhead elements ahead, leads to its keys
// and then to its text: two more misses, each waiting on the one before.
// Walking the dict a few elements ahead starts them while earlier
// narrations are read. PyDict_Next runs no Python code.
constexpr Py_ssize_t kValueAhead = 6;
void prefetch_first_value(PyObject* element) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    if (!PyDict_CheckExact(element) || !PyDict_Next(element, &pos, &key, &value)) return;
    util::prefetch(value);
    util::prefetch(reinterpret_cast<const char*>(value) + 64);
}

}  // namespace

std::optional<Outcome> categorize_streamed(PyObject* request, TextOwners& texts) {
    if constexpr (!kBorrowInPlace) {
        // Without the interpreter lock another thread may change the lists
        // while they are read: the whole read holds what it reads.
        return std::nullopt;
    } else {
        if (!PyDict_CheckExact(request) || PyDict_Size(request) != 2) return std::nullopt;
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr, *data = nullptr, *rules = nullptr;
        bool data_first = false;
        convert::ReadError err;
        while (PyDict_Next(request, &pos, &key, &value)) {
            // A key that fails to match is the whole read's to report.
            const std::optional<int> index = detail::match_key<CategorizeRequest>(key, 0, err);
            if (!index) return std::nullopt;
            if (*index == kData) {
                data = value;
                data_first = rules == nullptr;
            } else if (*index == kRules) {
                rules = value;
            }
        }
        if (!data || !PyList_CheckExact(data) || PyList_Size(data) < kStreamedNarrations) return std::nullopt;
        if (!rules || !PyList_CheckExact(rules) || !all_exact_dicts(rules)) return std::nullopt;

        CategorizeRequest head;  // the rules; `data` stays empty
        if (!read_value(rules, head.rules, err, texts)) {
            // A whole read reads `data` first and reports its failure, if any.
            if (data_first && !PyErr_Occurred()) return std::nullopt;
            return failed_in(kRules, std::move(err));
        }
        if (Categorizer::too_many_rules(head.rules.size())) return std::nullopt;

        const Py_ssize_t n = PyList_Size(data);
        Categorizer categorizer(head.rules, static_cast<std::size_t>(n));
        // Each narration's text is needed only until its batch is matched,
        // and nothing in between runs Python code (a dict of another kind
        // ends this pass before it is read): its str is noted, never held,
        // and an encoded copy (an interpreter before 3.10) kept until then.
        TextOwners batch{TextOwners::Deferred{}};
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + detail::kListAhead < n) util::prefetch(PyList_GetItem(data, i + detail::kListAhead));
            if (i + kValueAhead < n) prefetch_first_value(PyList_GetItem(data, i + kValueAhead));
            PyObject* element = PyList_GetItem(data, i);
            // Another kind of element may run Python code when read; nothing
            // read so far has, so reading the request whole repeats no effect.
            if (!PyDict_CheckExact(element)) return std::nullopt;
            MapInput item;
            if (!read_value(element, item, err, batch)) {
                convert::path_in_index(err.note, static_cast<std::size_t>(i));
                return failed_in(kData, std::move(err));
            }
            if (categorizer.add(item.narration)) batch.release();
        }
        return Outcome(categorizer.finish());
    }
}

}  // namespace morvanta::py
