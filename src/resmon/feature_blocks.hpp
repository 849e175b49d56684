// The arithmetic of the engineered S matrix on raw float32 memory, free of any
// Python type. Every value is produced by the same single IEEE operation, in
// the same operand order, as the whole-array NumPy composition it replaces;
// the log-magnitudes are left to NumPy's own log1p (see feature_kernel.cpp).
#pragma once

#include <cstddef>

namespace tarvex::resmon::blocks {

using Index = std::ptrdiff_t;

// Read-only float32 values at arbitrary byte strides, possibly unaligned.
struct StridedVector {
    const char* data;
    Index stride;  // bytes
};

struct StridedMatrix {
    const char* data;
    Index rows, columns;
    Index row_stride, column_stride;  // bytes
};

// The engineered matrix being written; strides in elements (C or Fortran order).
struct OutputMatrix {
    float* data;
    Index row_stride, column_stride;
};

// Which optional blocks follow the standardised one, in this order.
struct Layout {
    Index columns;  // d, the width of the input
    bool square, logabs, interactions;

    Index pair_count() const { return columns < 2 ? 0 : columns * (columns - 1) / 2; }
    Index square_offset() const { return columns; }
    Index logabs_offset() const { return columns + (square ? columns : 0); }
    Index interactions_offset() const { return logabs_offset() + (logabs ? columns : 0); }
    Index width() const { return interactions_offset() + (interactions ? pair_count() : 0); }
};

// Writes (x - mean) / scale into `base` (rows x columns, C order).
// Returns true when the rest of the engineered matrix can be written with no
// floating-point exception at all: standardising raised none, and every value
// is zero or has a magnitude within [2^-63, 2^63], so no square or pairwise
// product can overflow, underflow or meet inf * 0, and no value is NaN.
// When it returns false the caller must let NumPy build the whole matrix,
// which reports such conditions according to its error state and whose NaN
// payloads depend on how its loops split the data.
bool standardise(StridedMatrix x, StridedVector mean, StridedVector scale, float* base);

// Writes the standardised, square and interaction blocks of every row from
// `base` and then replaces each base value by its magnitude, ready for log1p.
void write_blocks(float* base, Index rows, const Layout& layout, OutputMatrix out);

// Writes the log-magnitude block: sign(b) * log1p_abs, with sign(b) taken from
// the standardised block already in `out` (1, -1, or 0 for either zero).
void write_signed_logs(const float* log1p_abs, Index rows, const Layout& layout, OutputMatrix out);

}  // namespace tarvex::resmon::blocks
