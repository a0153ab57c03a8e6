#include "convert/python/json_call.h"

#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace morvanta::py::detail {

void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

Ref str_of(std::string_view bytes) {
    return Ref(PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Ref piece_list(const convert::json::Pieces& pieces) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pieces.count())));
    if (!list) return Ref();
    std::vector<Ref> shared(pieces.shared_count());
    Py_ssize_t filled = 0;
    const bool complete = pieces.for_each([&](std::string_view bytes, std::size_t id) {
        const bool repeats = id != convert::json::Pieces::kUnshared;
        Ref piece = repeats && shared[id] ? Ref::borrow(shared[id].get()) : str_of(bytes);
        if (!piece) return false;
        if (repeats && !shared[id]) shared[id] = Ref::borrow(piece.get());
        PyList_SetItem(list.get(), filled++, piece.release());  // steals the reference
        return true;
    });
    return complete ? std::move(list) : Ref();
}

Ref joined(const Ref& list) {
    Ref empty(list ? PyUnicode_FromStringAndSize("", 0) : nullptr);
    return Ref(empty ? PyUnicode_Join(empty.get(), list.get()) : nullptr);
}

}  // namespace morvanta::py::detail
