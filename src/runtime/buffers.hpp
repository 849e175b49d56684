// RAII helpers for raw memory access: a buffer view released with its owner,
// and a scope that runs without the GIL.
#pragma once

#include <cstring>

#include "runtime/python.hpp"

namespace tarvex::rt {

// One acquired buffer view, released with the object.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False, with no Python error left set, when `object` does not export
    // such a buffer.
    bool acquire(py::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }

    // Same, for arrays this module has just created: failure is an error.
    void require(py::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) throw py::error_already_set();
        held_ = true;
    }

    const Py_buffer* operator->() const { return &view_; }
    const Py_buffer& view() const { return view_; }

    bool is_float32(int ndim) const {
        return view_.ndim == ndim && view_.itemsize == 4 && view_.format != nullptr &&
               std::strcmp(view_.format, "f") == 0;
    }

    float* floats() const { return static_cast<float*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the GIL for the scope when `release` is true (large jobs only:
// the hand-off costs more than small arithmetic).
class WithoutGil {
public:
    explicit WithoutGil(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

private:
    PyThreadState* state_;
};

}  // namespace tarvex::rt
