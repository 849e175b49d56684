// Native construction of the engineered S matrix.
#pragma once

#include "resmon/resmon.hpp"

namespace tarvex::resmon {

// Writes the engineered matrix of the float32 array `x` straight into one
// preallocated float32 array. Returns an empty object when the engineer's
// state or the input's shape is outside what the kernel reproduces exactly;
// the caller then composes the result with NumPy instead.
py::object engineer_natively(const Call& call, py::handle engineer, py::handle x);

}  // namespace tarvex::resmon
