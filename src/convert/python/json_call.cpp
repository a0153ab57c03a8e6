#include "convert/python/json_call.h"

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace morvanta::py::detail {

namespace {

// Characters encoded at a time. Each piece makes a str and a bytes object
// of at most 128 KiB, a size every allocator takes back and hands out again
// at once: with pieces of 1 MiB, the free-threaded build's allocator kept
// the freed ones resident, and a call's peak grew by the size of its text.
constexpr Py_ssize_t kFedChars = Py_ssize_t{1} << 15;
// The UTF-8 of one character takes at most this many bytes.
constexpr std::size_t kUtf8Max = 4;

}  // namespace

std::unique_ptr<FedStr> FedStr::of(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) {
        PyErr_Clear();  // the whole read meets it again and raises it
        return nullptr;
    }
    // Characters, not bytes, against the two-pass threshold: a text this
    // long has at least as many bytes of UTF-8, and one with fewer
    // characters but more bytes is still read in two passes, over its copy.
    const auto chars = static_cast<std::size_t>(length);
    if (chars < kTwoPassRequestBytes || chars > (SIZE_MAX - 1) / kUtf8Max) return nullptr;
    const int copies = Utf8::copies(text);
    if (copies != 1) {
        if (copies < 0) PyErr_Clear();
        return nullptr;
    }
    std::unique_ptr<FedStr> fed(new FedStr(text, length, chars * kUtf8Max));
    if (fed->room_.room().empty()) return nullptr;
    return fed;
}

FedStr::FedStr(PyObject* text, Py_ssize_t length, std::size_t room) : room_(room) {
    source_.str = text;
    source_.length = length;
}

std::size_t FedStr::Source::next(unsigned char* out, std::size_t room) {
    if (failed) return kFailed;
    if (at >= length) return 0;
    const Py_ssize_t end = length - at > kFedChars ? at + kFedChars : length;
    const Ref piece(PyUnicode_Substring(str, at, end));
    const Ref bytes(piece ? PyUnicode_AsUTF8String(piece.get()) : nullptr);
    const Py_ssize_t size = bytes ? PyBytes_Size(bytes.get()) : -1;
    if (size < 0 || static_cast<std::size_t>(size) > room) {
        PyErr_Clear();  // the whole read encodes the text again and raises what this was
        failed = true;
        return kFailed;
    }
    std::memcpy(out, PyBytes_AsString(bytes.get()), static_cast<std::size_t>(size));
    at = end;
    return static_cast<std::size_t>(size);
}

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
