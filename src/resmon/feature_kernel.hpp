// Native construction of the engineered S matrix.
#pragma once

#include "resmon/resmon.hpp"

namespace tarvex::resmon {

// Writes the engineered matrix of the float32 array `x` straight into one
// preallocated float32 array, bit for bit and in the memory order the NumPy
// composition gives. Returns an empty object, before the engineer's flags are
// read, when the engineer's state, the input's shape or its values are outside
// what the kernel reproduces exactly (statistics other than float32 vectors of
// the input's width, NaN or extreme standardised values, any floating-point
// exception NumPy would report); the caller then composes the result with
// NumPy instead.
py::object engineer_natively(const Call& call, py::handle engineer, py::handle x);

}  // namespace tarvex::resmon
