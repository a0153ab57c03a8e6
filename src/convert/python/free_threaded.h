// What the free-threaded build does differently, in one place: no other file
// tests Py_GIL_DISABLED. With a GIL the interpreter serialises every call, so
// a critical section is an ordinary block, a lock does nothing and a reader
// may borrow a container's references; without one, other threads may change
// a list or dict at any moment.
#pragma once

#include "convert/python/ref.h"

// A critical section on one object while a container is walked with borrowed
// items. The free-threaded build locks the object (the lock is let go while
// the thread waits, so it cannot deadlock against the interpreter).
#ifdef Py_GIL_DISABLED
#define MORVANTA_BEGIN_CRITICAL_SECTION(obj) Py_BEGIN_CRITICAL_SECTION(obj)
#define MORVANTA_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define MORVANTA_BEGIN_CRITICAL_SECTION(obj) {
#define MORVANTA_END_CRITICAL_SECTION() }
#endif

namespace morvanta::py {

// Whether a reader may borrow the references of a caller's dict or list while
// it walks them, where no Python code runs meanwhile: only with a GIL.
#ifdef Py_GIL_DISABLED
inline constexpr bool kBorrowInPlace = false;
#else
inline constexpr bool kBorrowInPlace = true;
#endif

// The element at `i` of a list, as a strong reference. With a GIL the list's
// slot is read, and PySequence_GetItem raises the IndexError for a list that
// shrank; the free-threaded build takes it with PyList_GetItemRef.
inline Ref list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    return Ref(PyList_GetItemRef(list, i));
#else
    if (i < PyList_Size(list)) return Ref::borrow(PyList_GetItem(list, i));
    return Ref(PySequence_GetItem(list, i));
#endif
}

// Tells a free-threaded interpreter that the module needs no GIL, so that it
// keeps the GIL off; false with the exception set. Nothing to do with a GIL.
inline bool declare_gil_not_used([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0;
#else
    return true;
#endif
}

// A process-wide lock for std::lock_guard. The free-threaded build takes a
// PyMutex, which lets go of the thread's interpreter state while it waits, so
// a waiting thread cannot stall a stop-the-world pause.
class Mutex {
public:
#ifdef Py_GIL_DISABLED
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() {}
    void unlock() {}
#endif
};

}  // namespace morvanta::py
