#include "convert/python/capi.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "convert/python/free_threaded.h"

namespace morvanta::py {

namespace {

bool passes_through(PyObject* type) {
    return PyErr_GivenExceptionMatches(type, PyExc_MemoryError) || !PyErr_GivenExceptionMatches(type, PyExc_Exception);
}

}  // namespace

std::string type_qualname(PyTypeObject* type) {
    // A metaclass may compute `__qualname__`, and that code may raise.
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && is_str(name.get())) {
        Utf8 text;
        if (text.load_raw(name.get())) return std::string(text.view());
    }
    if (!error_passes_through()) PyErr_Clear();
    return "?";
}

bool error_passes_through() {
    PyObject* type = PyErr_Occurred();
    return type && passes_through(type);
}

std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    if (!type) return "?: <exception str() failed>";
    if (passes_through(type)) {
        PyErr_Restore(type, value, trace);
        return {};
    }
    PyErr_NormalizeException(&type, &value, &trace);
    Ref t(type), v(value), tb(trace);
    std::string text = type_qualname(reinterpret_cast<PyTypeObject*>(t.get()));
    // An interrupt while reading the name replaces the exception.
    if (PyErr_Occurred()) return {};
    text += ": ";
    Ref s(v ? PyObject_Str(v.get()) : PyObject_Str(Py_None));
    Utf8 utf8;
    if (s && utf8.load_raw(s.get())) {
        text += utf8.view();
    } else if (error_passes_through()) {
        return {};
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

std::string cannot_convert(PyObject* obj, std::string_view target) {
    std::string s = "'";
    s += type_qualname(Py_TYPE(obj));
    s += "' object cannot be converted to '";
    s += target;
    s += '\'';
    return s;
}

std::string unexpected_type(PyObject* obj, std::string_view target) {
    return "unexpected type: " + cannot_convert(obj, target);
}

namespace {

// 1 if the str holds only ASCII, 0 if not, -1 with an exception set: str's
// own isascii, taken from the str type, so no subclass's override runs (the
// limited API cannot read the flag, and comparing sizes leaves a UTF-8 copy).
int is_ascii(PyObject* str) {
    Ref result(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii", "O", str));
    if (!result) return -1;
    return result.get() == Py_True ? 1 : 0;
}

}  // namespace

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. On such an
// interpreter it returns the str's own UTF-8 buffer, where the 3.8 route
// must build a bytes object every time.
std::atomic<detail::AsUtf8AndSize> detail::as_utf8_and_size{nullptr};

void init_runtime_features() {
#if !defined(Py_LIMITED_API)
    // A build for the interpreter's own ABI links the function directly.
    detail::as_utf8_and_size.store(&PyUnicode_AsUTF8AndSize, std::memory_order_relaxed);
#else
    // Py_GetVersion() starts "3.X.Y ..."; it is in the 3.8 stable ABI.
    const char* version = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(version, "%d.%d", &major, &minor) != 2 || (major == 3 && minor < 10)) return;
    // The interpreter hands out the address of its own export through ctypes
    // (ctypes.pythonapi is the running interpreter on every platform), so the
    // binary links no dynamic loader and names no symbol beyond the 3.8 ABI.
    // Without ctypes the module keeps the 3.8 route.
    Ref ctypes(PyImport_ImportModule("ctypes"));
    Ref api(ctypes ? PyObject_GetAttrString(ctypes.get(), "pythonapi") : nullptr);
    Ref fn(api ? PyObject_GetAttrString(api.get(), "PyUnicode_AsUTF8AndSize") : nullptr);
    Ref void_p(fn ? PyObject_GetAttrString(ctypes.get(), "c_void_p") : nullptr);
    Ref address(void_p ? PyObject_CallMethod(ctypes.get(), "cast", "OO", fn.get(), void_p.get()) : nullptr);
    Ref value(address ? PyObject_GetAttrString(address.get(), "value") : nullptr);
    void* pointer = value && PyLong_Check(value.get()) ? PyLong_AsVoidPtr(value.get()) : nullptr;
    if (!pointer) {
        PyErr_Clear();
        return;
    }
    detail::as_utf8_and_size.store(reinterpret_cast<detail::AsUtf8AndSize>(pointer), std::memory_order_relaxed);
#endif
}

int Utf8::copies(PyObject* str) {
    if (!detail::as_utf8_and_size.load(std::memory_order_relaxed)) return 1;
    const int ascii = is_ascii(str);
    return ascii < 0 ? -1 : 1 - ascii;
}

bool Utf8::load_other(PyObject* str, bool transient) {
    const detail::AsUtf8AndSize as_utf8 = detail::as_utf8_and_size.load(std::memory_order_relaxed);
    const int ascii = as_utf8 && transient ? is_ascii(str) : 0;
    if (ascii < 0) return false;
    if (ascii == 1) {
        Py_ssize_t size = 0;
        const char* data = as_utf8(str, &size);
        if (!data) return false;
        data_ = data;
        size_ = static_cast<std::size_t>(size);
        return true;
    }
    bytes_ = Ref(PyUnicode_AsUTF8String(str));
    if (!bytes_) return false;
    data_ = PyBytes_AsString(bytes_.get());
    size_ = static_cast<std::size_t>(PyBytes_Size(bytes_.get()));
    return true;
}

namespace {

PyObject* abc_class(const char* name) {
    Ref module(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
}

// Classes are imported on first use and kept for the life of the process.
// Threads that find the cache empty at once each import the class; the first
// one stored is kept, and the others' references are dropped.
PyObject* cached_abc_class(std::atomic<PyObject*>& cache, const char* name) {
    if (PyObject* known = cache.load(std::memory_order_acquire)) return known;
    Ref made(abc_class(name));
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (cache.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

bool isinstance_abc(PyObject* obj, std::atomic<PyObject*>& cache, const char* name) {
    PyObject* cls = cached_abc_class(cache, name);
    int r = cls ? PyObject_IsInstance(obj, cls) : -1;
    if (r < 0) {
        if (error_passes_through()) return false;
        PyErr_WriteUnraisable(obj);
        return false;
    }
    return r == 1;
}

std::atomic<PyObject*> g_mapping{nullptr};
std::atomic<PyObject*> g_sequence{nullptr};

}  // namespace

bool is_mapping(PyObject* obj) {
    if (PyDict_CheckExact(obj) || (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_DICT_SUBCLASS)) return true;
    return isinstance_abc(obj, g_mapping, "Mapping");
}

bool is_sequence(PyObject* obj) {
    if (PyType_GetFlags(Py_TYPE(obj)) & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) return true;
    return isinstance_abc(obj, g_sequence, "Sequence");
}

namespace {

// Guards the interned-string cache (with a GIL the interpreter already
// serialises every touch of it).
Mutex g_interned_mutex;

}  // namespace

PyObject* interned(std::string_view text) {
    static std::unordered_map<std::string_view, PyObject*> cache;
    const std::lock_guard<Mutex> guard(g_interned_mutex);
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s) return nullptr;
    PyUnicode_InternInPlace(&s);
    Ref owned(s);
    cache.emplace(text, s);
    return owned.release();  // the cache's reference, kept for the life of the process
}

}  // namespace morvanta::py
