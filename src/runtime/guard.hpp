// The boundary between C++ and the interpreter. Every entry point the
// interpreter calls (vectorcall, descriptor hooks, module slots) runs its body
// inside `guarded`, so that no C++ exception ever unwinds into CPython: Python
// errors are restored as the current exception and anything else becomes one.
#pragma once

#include <exception>
#include <new>

#include "runtime/python.hpp"

namespace tarvex::rt {

// Sets the current Python exception from the C++ exception being handled.
// Must be called from inside a catch block.
inline void restore_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in tarvex.core");
    }
}

// Runs `body` (returning a new reference or nullptr with an error set) and
// converts any escaping exception into a Python error and a nullptr result.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

// Same for slots that report failure with -1.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_current_exception();
        return -1;
    }
}

}  // namespace tarvex::rt
