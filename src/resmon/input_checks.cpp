// Shape checks for the data entering the engineer and the monitor. NumPy
// broadcasts mismatched shapes without complaint (one Z row against fifty S
// rows, one S column against four statistics), which would score silently
// wrong; every entry point therefore checks the shapes it was given.
#include <optional>
#include <string>

#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

std::string shape_text(py::handle array) { return py::repr(array.attr("shape")).cast<std::string>(); }

[[noreturn]] void throw_value_error(const std::string& message) {
    rt::throw_python_error(PyExc_ValueError, message.c_str());
}

Py_ssize_t dimension(py::handle array, int axis) { return py::cast<Py_ssize_t>(array.attr("shape")[py::int_(axis)]); }

// Whether data would reach the float32 conversion as complex numbers. An
// exact ndarray tells by its dtype; anything else is asked through
// np.iscomplexobj, and an object that cannot even answer is left to the
// conversion, which then reports it as before.
bool holds_complex(const Call& call, py::handle data) {
    if (NumpyArrays(call).exact(data)) return equals(data.attr("dtype").attr("kind"), py::str("c"));
    try {
        return is_truthy(call.global("np").attr("iscomplexobj")(data));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace

void require_real(const Call& call, py::handle data, const char* name) {
    if (holds_complex(call, data))
        rt::throw_python_error(PyExc_TypeError, (std::string(name) +
                                                 " holds complex numbers, which float32 cannot represent; pass its "
                                                 "real part or its magnitude explicitly")
                                                    .c_str());
}

py::object float32_matrix(const Call& call, py::handle data, const char* name) {
    require_real(call, data, name);
    py::object matrix = as_float32_array(call, data);
    if (py::cast<int>(matrix.attr("ndim")) != 2)
        throw_value_error(std::string(name) + " must be a 2-D array with one row per input; got shape " +
                          shape_text(matrix));
    return matrix;
}

void require_width(py::handle matrix, const char* name, Py_ssize_t width) {
    if (dimension(matrix, 1) != width)
        throw_value_error(std::string(name) + " must have shape (n, " + std::to_string(width) + "); got " +
                          shape_text(matrix));
}

void require_paired_rows(py::handle S, py::handle Z) {
    if (dimension(S, 0) != dimension(Z, 0))
        throw_value_error("S and Z must have the same number of rows; got S of shape " + shape_text(S) +
                          " and Z of shape " + shape_text(Z));
}

std::optional<Py_ssize_t> vector_length(const Call& call, py::handle statistic) {
    py::object shape = shape_of(call, statistic);
    if (py::len(shape) != 1) return std::nullopt;
    return py::cast<Py_ssize_t>(shape[py::int_(0)]);
}

void require_finite_statistics(const Call& call, py::handle data, py::handle mean, py::handle scale, const char* name) {
    py::object np = call.global("np");
    py::object usable = np.attr("logical_and")(np.attr("isfinite")(mean), np.attr("isfinite")(scale));
    if (is_truthy(usable.attr("all")())) return;
    if (!is_truthy(np.attr("isfinite")(data).attr("all")())) return;  // NaN or inf in the data itself
    py::object column = np.attr("flatnonzero")(np.attr("logical_not")(usable))[py::int_(0)];
    std::string message = std::string(name) + " column " + py::str(column).cast<std::string>() +
                          " is too large for float32 statistics (mean " + py::str(mean[column]).cast<std::string>() +
                          ", scale " + py::str(scale[column]).cast<std::string>() +
                          "); rescale it before fitting";
    throw_value_error(message);
}

}  // namespace tarvex::resmon
