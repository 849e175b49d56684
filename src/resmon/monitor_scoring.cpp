// Scoring: the squared Mahalanobis length of each row's standardised residual.
#include <cmath>
#include <cstring>

#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"
#include "runtime/context.hpp"

namespace tarvex::resmon {

namespace {

void require_trained(py::handle self) {
    for (const char* name : {"_model", "z_mean", "z_scale", "inv_cov"})
        if (self.attr(name).is_none()) rt::throw_python_error(PyExc_RuntimeError, "Detector not fit/loaded");
}

// The network's predicted mean for every row of the engineered S, on the host.
py::object predicted_mean(const Call& call, py::handle self, py::handle S_eng) {
    py::object torch = call.global("torch");
    return rt::with_context(torch.attr("no_grad")(), [&]() -> py::object {
        py::object x_tensor = torch.attr("from_numpy")(S_eng).attr("to")(self.attr("_torch_device"));
        py::object outputs = self.attr("_model")(x_tensor);
        py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(outputs));
        if (pair.size() != 2) {
            PyErr_Format(PyExc_ValueError,
                         pair.size() > 2 ? "too many values to unpack (expected 2)"
                                         : "not enough values to unpack (expected 2, got %zd)",
                         static_cast<Py_ssize_t>(pair.size()));
            throw py::error_already_set();
        }
        return pair[0].attr("cpu")().attr("numpy")();
    });
}

bool has_nan(py::handle scores) {
    Py_buffer view;
    if (PyObject_GetBuffer(scores.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return true;  // not a plain float64 buffer: let NumPy look
    }
    bool found = view.itemsize != sizeof(double) || view.format == nullptr || std::strcmp(view.format, "d") != 0;
    const double* values = static_cast<const double*>(view.buf);
    for (Py_ssize_t i = 0, n = view.len / view.itemsize; !found && i < n; ++i) found = std::isnan(values[i]);
    PyBuffer_Release(&view);
    return found;
}

// A NaN score would compare false against any threshold and let a corrupted
// input pass as normal; such rows score +inf instead.
void replace_nan_with_inf(py::object np, py::object& scores) {
    if (!has_nan(scores)) return;
    py::object nan_rows = np.attr("isnan")(scores);
    if (is_truthy(nan_rows.attr("any")())) scores[nan_rows] = np.attr("inf");
}

std::optional<Py_ssize_t> stored_dimension(py::handle self, const char* name) {
    py::object stored = self.attr(name);
    if (stored.is_none()) return std::nullopt;
    return py::cast<Py_ssize_t>(rt::steal_or_throw(PyNumber_Index(stored.ptr())));
}

// The width a monitor was trained or loaded with; on a monitor assembled by
// hand without its dimensions, the length of the matching statistic.
std::optional<Py_ssize_t> trained_width(const Call& call, py::handle self, const char* dimension,
                                        py::handle statistic) {
    if (std::optional<Py_ssize_t> stored = stored_dimension(self, dimension)) return stored;
    return vector_length(call, statistic);
}

// S of shape (n, s_dim) and Z of shape (n, z_dim), as float32 matrices.
std::pair<py::object, py::object> paired_inputs(const Call& call, py::handle self, py::handle S_in, py::handle Z_in) {
    py::object S = float32_matrix(call, S_in, "S");
    py::object Z = float32_matrix(call, Z_in, "Z");
    if (auto s_dim = trained_width(call, self, "s_dim", self.attr("s_engineer").attr("mean_"))) require_width(S, "S", *s_dim);
    if (auto z_dim = trained_width(call, self, "z_dim", self.attr("z_mean"))) require_width(Z, "Z", *z_dim);
    require_paired_rows(S, Z);
    return {S, Z};
}

py::object score_batch(const Call& call) {
    py::handle self = call.self();
    require_trained(self);
    py::object np = call.global("np");
    auto [S, Z] = paired_inputs(call, self, call[1], call[2]);
    py::object S_eng = self.attr("s_engineer").attr("transform")(S);
    py::object Z_norm = ((Z - self.attr("z_mean")) / self.attr("z_scale")).attr("astype")(float32(call));
    py::object residuals = Z_norm - predicted_mean(call, self, S_eng);
    py::object scores = np.attr("einsum")("ni,ij,nj->n", residuals, self.attr("inv_cov"), residuals)
                            .attr("astype")(np.attr("float64"));
    replace_nan_with_inf(np, scores);
    return scores;
}

py::object one_row(const Call& call, py::handle vector) {
    return as_float32_array(call, vector).attr("reshape")(1, -1);
}

py::object score(const Call& call) {
    py::object S = one_row(call, call[1]);
    py::object Z = one_row(call, call[2]);
    py::object scores = call.self().attr("score_batch")(S, Z);
    return python_float(scores[py::int_(0)]);
}

const rt::MethodTable kScoringMethods{
    "NeuralConditionalMonitor",
    {
        {.name = "score_batch",
         .params = {{"self"}, {"S", "np.ndarray"}, {"Z", "np.ndarray"}},
         .returns = "np.ndarray",
         .body = score_batch},
        {.name = "score", .params = {{"self"}, {"s", "np.ndarray"}, {"z", "np.ndarray"}}, .returns = "float", .body = score},
    },
};

}  // namespace

void add_scoring_methods(py::object& ns, py::module_ module) {
    rt::add_methods(ns, kScoringMethods, module);
}

}  // namespace tarvex::resmon
