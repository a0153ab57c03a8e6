// The module entry: init, the function table, argument binding, raising, and
// the call paths of the six functions (read the request, run one engine,
// write the result, turn every failure into a Python exception); the JSON
// call itself is convert/python/json_call.h.

#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "categorizer/engine.h"
#include "convert/categorize_json.h"  // the two-pass read of a categorize request
#include "convert/python/capi.h"
#include "convert/python/categorize_object.h"  // the one-pass read of a categorize request
#include "convert/python/free_threaded.h"
#include "convert/python/json_call.h"
#include "convert/python/object_read.h"
#include "convert/python/object_write.h"
#include "emi/engine.h"

namespace morvanta {
namespace {

using py::Ref;

constexpr const char* kVersion = MORVANTA_VERSION;

// ---------------------------------------------------------------------------
// Raising

PyObject* raise(PyObject* type, std::string_view message) {
    // Messages carry request text; "replace" keeps raising possible even if
    // some text were not valid UTF-8.
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

constexpr const char* kPanicDoc =
    "Raised when morvanta's own code meets an internal fault (a broken invariant).\n\n"
    "It derives from BaseException, like SystemExit, so that `except Exception` does not catch it "
    "and it normally travels to the top and ends the interpreter.";

// Created at module init, before any function exists, and kept for the life
// of the process: raising it later must not depend on memory being left.
// Atomic because the free-threaded build may run two inits at once (in two
// interpreters) and calls on any thread read it.
std::atomic<PyObject*> g_panic_type{nullptr};

bool create_panic_type() {
    if (g_panic_type.load(std::memory_order_acquire)) return true;
    // Callers match on this qualified name.
    Ref made(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!made) return false;
    PyObject* expected = nullptr;
    // A type made by an init that lost the race is released; one type serves.
    if (g_panic_type.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) made.release();
    return true;
}

void raise_panic(const char* what) {
    Ref text(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::char_traits<char>::length(what)), "replace"));
    PyObject* const panic_type = g_panic_type.load(std::memory_order_acquire);
    if (!text || !panic_type) {
        // Turning the fault into an exception failed in turn (or the fault
        // came before the type existed): report the memory shortage rather
        // than aborting the interpreter.
        PyErr_NoMemory();
        return;
    }
    PyErr_SetObject(panic_type, text.get());
}

// Makes the runtime allocate this thread's exception storage while memory is
// there: a first throw that could not would end the process, not raise.
void touch_exception_storage() noexcept {
    // Declared pure: the result is kept so that the call is not dropped.
    [[maybe_unused]] volatile int depth = std::uncaught_exceptions();
}

// Runs an entry point; no C++ exception crosses into the interpreter.
// Running out of memory is MemoryError, any other fault PanicException.
template <class F>
PyObject* guarded(F&& body) noexcept {
    touch_exception_storage();
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("internal fault of unknown kind");
    }
    return nullptr;
}

// Adds `note` to the pending exception as its PEP 678 note: `__notes__` is
// set to a one-element list (tracebacks show it from 3.11 on; on older
// interpreters the attribute is set all the same). The note is an addition
// to the exception, so a failure to attach it keeps the exception as it was.
void attach_note(std::string_view note) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    if (owned_value) {
        Ref text(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
        Ref notes(text ? PyList_New(1) : nullptr);
        if (!notes || PyList_SetItem(notes.get(), 0, text.release()) < 0 ||
            PyObject_SetAttrString(owned_value.get(), "__notes__", notes.get()) < 0)
            PyErr_Clear();
    }
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
}

// ValueError "invalid request: {message}", with the read's location as its note.
PyObject* raise_read_error(const convert::ReadError& error) {
    raise(PyExc_ValueError, "invalid request: " + error.message);
    if (!error.note.empty() && PyErr_Occurred()) attach_note(error.note);
    return nullptr;
}

PyObject* raise_call_error(const py::CallError& error) {
    switch (error.kind) {
        case py::CallError::Kind::Read: return raise_read_error(error.read);
        case py::CallError::Kind::Engine: return raise(PyExc_ValueError, error.engine_text);
        case py::CallError::Kind::Pending: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding: one positional-or-keyword parameter, required. The bound
// argument is held by a strong reference: a keyword dictionary can be shared
// with the caller, and in the free-threaded build another thread may change
// it while the call runs.

Ref bind_one(const char* function, const char* param, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    Ref slot = given > 0 ? Ref::borrow(PyTuple_GetItem(args, 0)) : Ref();
    // Built only for an error message: a call that binds costs no allocation.
    const auto full = [function] { return std::string(function) + "()"; };
    const auto fail = [](PyObject* type, const std::string& message) {
        raise(type, message);
        return Ref();
    };
    if (given > 1) {
        return fail(PyExc_TypeError, full() + " takes 1 positional arguments but " + std::to_string(given) +
                                         " were given");
    }
    if (kwargs) {
        // The walk takes what it keeps by strong references and runs no
        // Python code, so it can hold the dictionary's critical section.
        bool twice = false;
        Ref unknown;
        MORVANTA_BEGIN_CRITICAL_SECTION(kwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (py::is_str(key) && PyUnicode_CompareWithASCIIString(key, param) == 0) {
                twice = static_cast<bool>(slot);
                if (twice) break;
                slot = Ref::borrow(value);
                continue;
            }
            unknown = Ref::borrow(key);
            break;
        }
        MORVANTA_END_CRITICAL_SECTION();
        if (twice) return fail(PyExc_TypeError, full() + " got multiple values for argument '" + param + "'");
        if (unknown) {
            // A name that cannot be encoded (a lone surrogate) is shown with
            // the offending code points escaped rather than lost.
            Ref name(PyObject_Str(unknown.get()));
            Ref bytes(name ? PyUnicode_AsEncodedString(name.get(), "utf-8", "backslashreplace") : nullptr);
            if (!bytes) return Ref();
            const std::string text(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
            return fail(PyExc_TypeError, full() + " got an unexpected keyword argument '" + text + "'");
        }
    }
    if (!slot) return fail(PyExc_TypeError, full() + " missing 1 required positional argument: '" + param + "'");
    return slot;
}

// ---------------------------------------------------------------------------
// Call paths

// A result as a new object. A failed read or write that leaves an exception
// pending (MemoryError, KeyboardInterrupt and the like) passes it on unchanged.
template <class Result>
PyObject* write_result(const Result& result) {
    py::WriteContext ctx;
    Ref out = py::write_value(result, ctx);
    if (!out) return PyErr_Occurred() ? nullptr : raise(PyExc_ValueError, "could not build result: " + ctx.err);
    return out.release();
}

template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
PyObject* call_object(PyObject* arg, py::TextOwners& texts) {
    Request request;
    convert::ReadError read_error;
    if (!py::read_request(arg, request, read_error, texts))
        return PyErr_Occurred() ? nullptr : raise_read_error(read_error);
    auto result = Engine(request);
    if (!result) return raise(PyExc_ValueError, result.error().text());
    return write_result(*result);
}

template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
PyObject* call_object(PyObject* arg) {
    // The request's texts view str objects that `texts` keeps alive until
    // the result, which may view them too, has been written.
    py::TextOwners texts;
    return call_object<Request, Result, Engine>(arg, texts);
}

// categorize_transactions: a large request of plain lists and dicts in one
// pass over its narrations (convert/python/categorize_object.h), any other
// read whole. Either way a str is referenced only once Python code may run:
// the result's texts, the only views read after the match, are made before
// anything else of it.
PyObject* call_categorize_object(PyObject* arg) {
    using categorizer::CategorizeRequest;
    using categorizer::CategorizeResponse;
    static_assert(py::detail::texts_before_containers<CategorizeResponse>());
    {
        py::TextOwners texts{py::TextOwners::Deferred{}};
        if (auto streamed = py::categorize_streamed(arg, texts)) {
            if (!*streamed) return PyErr_Occurred() ? nullptr : raise_read_error(streamed->error());
            return write_result(**streamed);
        }
    }
    py::TextOwners texts{py::TextOwners::Deferred{}};
    return call_object<CategorizeRequest, CategorizeResponse, categorizer::categorize_transactions>(arg, texts);
}

// A JSON call's argument must be a str; the call itself is convert/python/json_call.h.
template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
PyObject* call_json(PyObject* arg) {
    if (!py::is_str(arg)) {
        std::string message = "argument 'request_json': " + py::cannot_convert(arg, "PyString");
        // An interrupt raised while naming the type passes on unchanged.
        return PyErr_Occurred() ? nullptr : raise(PyExc_TypeError, message);
    }
    py::CallError error;
    Ref out = py::json_call<Request, Result, Engine>(arg, error);
    return out ? out.release() : raise_call_error(error);
}

using emi::EmiRequest;
using emi::EmiResult;
using categorizer::CategorizeRequest;
using categorizer::CategorizeResponse;
using categorizer::DeriveRulesRequest;
using categorizer::DeriveRulesResponse;

// The six functions, in the order they are added to the module.
struct Function {
    const char* name;
    const char* param;
    PyObject* (*call)(PyObject* arg);
};

constexpr Function kFunctions[] = {
    {"compute_emi", "request", call_object<EmiRequest, EmiResult, emi::compute>},
    {"compute_emi_json", "request_json", call_json<EmiRequest, EmiResult, emi::compute>},
    {"categorize_transactions", "request",
     call_categorize_object},
    {"categorize_transactions_json", "request_json",
     call_json<CategorizeRequest, CategorizeResponse, categorizer::categorize_transactions>},
    {"derive_rules", "request", call_object<DeriveRulesRequest, DeriveRulesResponse, categorizer::derive_rules>},
    {"derive_rules_json", "request_json",
     call_json<DeriveRulesRequest, DeriveRulesResponse, categorizer::derive_rules>},
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);

// The C entry point of function I: binds its argument inside the guard.
template <std::size_t I>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        constexpr const Function& f = kFunctions[I];
        const Ref arg = bind_one(f.name, f.param, args, kwargs);
        return arg ? f.call(arg.get()) : nullptr;
    });
}

// "compute_emi(request)\n--\n\n": CPython reads the signature from it and
// leaves __doc__ as None. Made by the compiler, so that no init (in any
// interpreter, on any thread) writes it.
template <std::size_t I>
constexpr auto make_doc() {
    constexpr std::string_view name = kFunctions[I].name, param = kFunctions[I].param, tail = ")\n--\n\n";
    std::array<char, name.size() + 1 + param.size() + tail.size() + 1> text{};
    auto out = text.begin();
    for (const std::string_view piece : {name, std::string_view("("), param, tail})
        for (const char c : piece) *out++ = c;
    return text;  // the last element stays the terminating NUL
}
template <std::size_t I>
constexpr auto kDoc = make_doc<I>();

// Method definitions live for the whole process: the function objects keep
// pointers to them.
std::array<PyMethodDef, kFunctionCount> g_methods = []<std::size_t... I>(std::index_sequence<I...>) {
    // PyMethodDef holds every calling convention as PyCFunction; METH_KEYWORDS
    // tells CPython to call it with the keyword dictionary as well.
    return std::array<PyMethodDef, kFunctionCount>{PyMethodDef{
        kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
        METH_VARARGS | METH_KEYWORDS, kDoc<I>.data()}...};
}(std::make_index_sequence<kFunctionCount>{});

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "morvanta", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful init, never emptied. Atomic because the
// free-threaded build may run inits in two interpreters at once: the first to
// fill it wins, the other fails as a second init.
std::atomic<PyObject*> g_module_cell{nullptr};

PyObject* raise_second_init() {
    // Callers match on this message.
    return raise(PyExc_ImportError,
                 "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter "
                 "process");
}

// Appends name to the module's __all__ list and sets module.name = value.
bool add_attribute(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Ref text(PyUnicode_InternFromString(name));
    if (!text) return false;
    if (PyList_Append(all, text.get()) < 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, text.get(), value) == 0;
}

PyObject* init_module() {
    if (g_module_cell.load(std::memory_order_acquire)) return raise_second_init();
    if (!create_panic_type()) return nullptr;
    py::init_runtime_features();
    Ref module(PyModule_Create2(&g_module_def, 3));
    // Nothing in the module relies on the GIL.
    if (!module || !py::declare_gil_not_used(module.get())) return nullptr;
    Ref all(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
    Ref version(PyUnicode_FromString(kVersion));
    if (!version || !add_attribute(module.get(), all.get(), "__version__", version.get())) return nullptr;
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        Ref function(PyCFunction_NewEx(&g_methods[i], module.get(), module_name.get()));
        if (!function || !add_attribute(module.get(), all.get(), kFunctions[i].name, function.get())) return nullptr;
    }
    PyObject* expected = nullptr;
    if (!g_module_cell.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel))
        return raise_second_init();
    Ref::borrow(module.get()).release();  // the cell's reference, held for the life of the process
    return module.release();
}

}  // namespace
}  // namespace morvanta

#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
// From CPython 3.9 on, PyMODINIT_FUNC also makes the init function visible;
// 3.8's leaves that to the build, which hides every symbol by default.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_morvanta(void);
#endif

PyMODINIT_FUNC PyInit_morvanta(void) {
    return morvanta::guarded([] { return morvanta::init_module(); });
}
