// An RAII limit of PyTorch's intra-op thread count to one, for a scope.
#pragma once

#include <utility>

#include "runtime/python.hpp"

namespace tarvex::rt {

// PyTorch's intra-op thread count is process-wide, so overlapping scopes (fits
// in several threads) share one limit: the first to enter saves the count and
// sets one thread, the last to leave restores the saved count. The GIL, held
// whenever the guard is made or destroyed, serialises the bookkeeping.
class SingleIntraOpThread {
public:
    explicit SingleIntraOpThread(py::object torch) : torch_(std::move(torch)) {
        if (holders_ == 0) {
            saved_threads_ = py::cast<int>(torch_.attr("get_num_threads")());
            torch_.attr("set_num_threads")(1);
        }
        ++holders_;
    }
    SingleIntraOpThread(const SingleIntraOpThread&) = delete;
    SingleIntraOpThread& operator=(const SingleIntraOpThread&) = delete;

    ~SingleIntraOpThread() {
        if (--holders_ > 0) return;
        try {
            torch_.attr("set_num_threads")(saved_threads_);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("restoring PyTorch's thread count");
        }
    }

private:
    py::object torch_;
    static inline int holders_ = 0;
    static inline int saved_threads_ = 0;
};

}  // namespace tarvex::rt
