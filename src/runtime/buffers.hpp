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

// A C-contiguous buffer of float32 ("f") or float64 ("d") items, viewed for
// as long as the view lives; false when the object exports no such buffer,
// with no Python error left set. `ndim` < 0 accepts any number of dimensions.
class ContiguousView {
public:
    ContiguousView(py::handle object, const char* format, int ndim, bool writable = false) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND | (writable ? PyBUF_WRITABLE : 0);
        if (!buffer_.acquire(object, flags)) return;
        const Py_buffer& view = buffer_.view();
        const Py_ssize_t itemsize = std::strcmp(format, "d") == 0 ? 8 : 4;
        valid_ = (ndim < 0 || view.ndim == ndim) && view.itemsize == itemsize && view.format != nullptr &&
                 std::strcmp(view.format, format) == 0;
    }

    explicit operator bool() const { return valid_; }
    const Py_buffer& view() const { return buffer_.view(); }
    Py_ssize_t extent(int axis) const { return buffer_->shape[axis]; }
    Py_ssize_t size() const { return buffer_->len / buffer_->itemsize; }
    template <class T>
    T* items() const {
        return static_cast<T*>(buffer_->buf);
    }

private:
    Buffer buffer_;
    bool valid_ = false;
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
