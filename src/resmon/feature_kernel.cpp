// The engineered S matrix written straight into one float32 array, with the
// same bits, shape and memory order as the NumPy composition in
// feature_engineer.cpp. Inputs and states the kernel cannot reproduce exactly
// are handed back (empty result) to that composition.
#include "resmon/feature_kernel.hpp"

#include <cstdlib>
#include <cstring>

#include "resmon/feature_blocks.hpp"
#include "runtime/buffers.hpp"

namespace tarvex::resmon {

namespace {

using blocks::Index;
using rt::Buffer;
using rt::WithoutGil;

// Above this many output values the arithmetic runs without the GIL.
constexpr Index kReleaseGilFrom = Index{1} << 16;

bool is_exact_ndarray(py::handle value, py::handle ndarray) {
    return reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == ndarray.ptr();
}

// The memory order NumPy gives the composed matrix. The ufuncs lay out
// (x - mean_) / scale_ and the blocks derived from it like x: in Fortran order
// when x's column stride exceeds its row stride (both non-zero), otherwise in
// C order. np.concatenate keeps a Fortran order only if no block with more
// than one row and column is in C order, and the pairwise products, stacked
// in C order, are such a block from three columns on.
bool composes_in_fortran_order(const Py_buffer& x, bool interactions) {
    const Index rows = x.shape[0];
    const Index columns = x.shape[1];
    if (rows < 2 || columns < 2 || (interactions && columns >= 3)) return false;
    const Index row_stride = x.strides[0];
    const Index column_stride = x.strides[1];
    return row_stride != 0 && column_stride != 0 && std::abs(column_stride) > std::abs(row_stride);
}

blocks::StridedVector vector_of(const Buffer& buffer) {
    return {static_cast<const char*>(buffer->buf), buffer->strides[0]};
}

}  // namespace

py::object engineer_natively(const Call& call, py::handle engineer, py::handle x) {
    py::object np = call.global("np");
    py::object ndarray = np.attr("ndarray");
    py::object mean = engineer.attr("mean_");
    py::object scale = engineer.attr("scale_");
    // Subclasses may redefine the arithmetic; only plain arrays qualify.
    if (!is_exact_ndarray(x, ndarray) || !is_exact_ndarray(mean, ndarray) || !is_exact_ndarray(scale, ndarray))
        return py::object();

    Buffer x_buffer, mean_buffer, scale_buffer;
    if (!x_buffer.acquire(x, PyBUF_RECORDS_RO) || !x_buffer.is_float32(2)) return py::object();
    const Index rows = x_buffer->shape[0];
    const Index columns = x_buffer->shape[1];
    // Beyond this the pair count no longer fits the index type (a broadcast
    // view can claim any width); NumPy then fails on its own terms.
    if (columns > (Index{1} << 31)) return py::object();
    // Statistics that broadcast differently (or not at all) are NumPy's to handle.
    if (!mean_buffer.acquire(mean, PyBUF_RECORDS_RO) || !mean_buffer.is_float32(1) || mean_buffer->shape[0] != columns)
        return py::object();
    if (!scale_buffer.acquire(scale, PyBUF_RECORDS_RO) || !scale_buffer.is_float32(1) ||
        scale_buffer->shape[0] != columns)
        return py::object();

    py::object float32 = np.attr("float32");
    py::object base = np.attr("empty")(py::make_tuple(rows, columns), float32);
    Buffer base_buffer;
    base_buffer.require(base, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    const blocks::StridedMatrix input{static_cast<const char*>(x_buffer->buf), rows, columns, x_buffer->strides[0],
                                      x_buffer->strides[1]};
    bool exact;
    {
        WithoutGil released(rows * columns >= kReleaseGilFrom);
        exact = blocks::standardise(input, vector_of(mean_buffer), vector_of(scale_buffer), base_buffer.floats());
    }
    if (!exact) return py::object();

    // The flags are read only now, as the composition reads them after it has
    // standardised; nothing below hands the work back.
    blocks::Layout layout{columns, false, false, false};
    layout.square = is_truthy(engineer.attr("include_square"));
    layout.logabs = is_truthy(engineer.attr("include_logabs"));
    layout.interactions = is_truthy(engineer.attr("include_interactions"));
    const Index width = layout.width();

    py::object shape = py::make_tuple(rows, width);
    py::object engineered = composes_in_fortran_order(x_buffer.view(), layout.interactions)
                                ? np.attr("empty")(shape, float32, py::arg("order") = "F")
                                : np.attr("empty")(shape, float32);
    Buffer out_buffer;
    out_buffer.require(engineered, PyBUF_RECORDS);
    const blocks::OutputMatrix out{out_buffer.floats(), out_buffer->strides[0] / Index{4},
                                   out_buffer->strides[1] / Index{4}};
    const bool release = rows * width >= kReleaseGilFrom;
    {
        WithoutGil released(release);
        blocks::write_blocks(base_buffer.floats(), rows, layout, out);
    }
    if (layout.logabs) {
        // NumPy's own log1p over the contiguous magnitudes, as the composition
        // applies it: its vectorised rounding is not a C library's log1pf.
        py::object logs = np.attr("log1p")(base);
        Buffer logs_buffer;
        logs_buffer.require(logs, PyBUF_C_CONTIGUOUS);
        WithoutGil released(release);
        blocks::write_signed_logs(logs_buffer.floats(), rows, layout, out);
    }
    return engineered;
}

}  // namespace tarvex::resmon
