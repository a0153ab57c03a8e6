// Python-side helpers shared by the object-mode converter and the module:
// exception texts, UTF-8 access, the str, mapping and sequence tests, and
// interned names.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "convert/python/ref.h"

namespace morvanta::py {

// The `__qualname__` of a type, "?" if it cannot be read.
std::string type_qualname(PyTypeObject* type);

// True if the pending exception must reach the caller unchanged rather than
// become a conversion error: MemoryError, and anything that is not an
// Exception (KeyboardInterrupt, SystemExit, GeneratorExit ...).
bool error_passes_through();

// Takes the pending Python exception and returns "{qualname}: {str}", with
// "<exception str() failed>" when str() itself raises. Clears the indicator,
// except for an exception that passes through (see above, also one raised by
// str()): that one stays pending and the text is empty. Every caller fails
// at once, and the call path raises whatever is pending as it is.
std::string take_error_text();

// "unexpected type: '{qualname}' object cannot be converted to '{target}'"
std::string unexpected_type(PyObject* obj, std::string_view target);
// "'{qualname}' object cannot be converted to '{target}'"
std::string cannot_convert(PyObject* obj, std::string_view target);

namespace detail {
// PyUnicode_AsUTF8AndSize of the running interpreter (3.10 on), or NULL;
// set at module init. Atomic (relaxed: the value is the same for every
// writer) because an init in another interpreter may set it while calls run.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
extern std::atomic<AsUtf8AndSize> as_utf8_and_size;
}  // namespace detail

// UTF-8 text of a str. On failure (a lone surrogate) load() returns false and
// sets `err` to the exception text. `transient` asks not to leave a cached
// UTF-8 copy inside a non-ASCII str (for large one-off texts such as JSON
// input).
class Utf8 {
public:
    bool load(PyObject* str, std::string& err, bool transient = false) {
        if (load_raw(str, transient)) return true;
        err = take_error_text();
        return false;
    }
    // As load(), but leaves CPython's exception set on failure. The str's
    // own UTF-8 is viewed where the interpreter offers it (no copy at all
    // for an ASCII str); a transient load does so only for an ASCII str.
    bool load_raw(PyObject* str, bool transient = false) {
        const detail::AsUtf8AndSize as_utf8 = detail::as_utf8_and_size.load(std::memory_order_relaxed);
        if (!as_utf8 || transient) return load_other(str, transient);
        Py_ssize_t size = 0;
        data_ = as_utf8(str, &size);
        size_ = static_cast<std::size_t>(size);
        return data_ != nullptr;
    }
    std::string_view view() const { return {data_, size_}; }
    // 1 where a transient load of `str` encodes a copy of it, 0 where it
    // views the str's own UTF-8, -1 with an exception set.
    static int copies(PyObject* str);
    // The object that owns the bytes of view() once `str` is loaded: the
    // encoded copy, or `str` itself when its own UTF-8 is viewed.
    Ref owner(PyObject* str) { return bytes_ ? std::move(bytes_) : Ref::borrow(str); }

private:
    bool load_other(PyObject* str, bool transient);

    Ref bytes_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Looks up the functions that the running interpreter offers beyond the 3.8
// stable ABI (once, at module init).
void init_runtime_features();

inline bool is_str(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS);
}

// dict (or subclass), else isinstance(obj, collections.abc.Mapping). A failing
// isinstance check is written as unraisable and counts as "not a mapping",
// unless its exception passes through: that one is left pending.
bool is_mapping(PyObject* obj);
// list or tuple (or subclass), else isinstance(obj, collections.abc.Sequence).
bool is_sequence(PyObject* obj);

// Interned str for a key or name, created once per process and kept (from any
// thread: the free-threaded build guards the cache with a lock). The
// text must outlive the process (field keys and enumeration names do).
PyObject* interned(std::string_view text);

}  // namespace morvanta::py
