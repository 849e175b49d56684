// Scoring: the squared Mahalanobis length of each row's standardised residual.
#include <cfenv>
#include <cmath>

#include "resmon/network_forward.hpp"
#include "resmon/resmon.hpp"
#include "runtime/buffers.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

void require_trained(py::handle self) {
    for (const char* name : {"_model", "z_mean", "z_scale", "inv_cov"})
        if (self.attr(name).is_none()) rt::throw_python_error(PyExc_RuntimeError, "Detector not fit/loaded");
}

// The network's predicted mean for every row of the engineered S, on the host.
// S_eng is released as soon as the network's input tensor holds it, so that
// a network evaluated directly (network_forward.cpp) can free it after its
// first layer.
py::object predicted_mean(const Call& call, py::handle self, py::object S_eng) {
    GradDisabled no_grad;
    py::object x_tensor = call.global("torch").attr("from_numpy")(S_eng);
    S_eng = py::object();
    // Moving a CPU tensor to the CPU hands back the tensor itself.
    py::object device = self.attr("_torch_device");
    const bool on_cpu = is_plain_cpu_device(device);
    if (!on_cpu) x_tensor = x_tensor.attr("to")(device);
    py::object model = self.attr("_model");
    std::optional<NetworkPlan> plan = NetworkPlan::of(model, false);
    if (plan && plan->log_var_cannot_fail()) {
        // mu computed from a CPU input is on the CPU, where cpu() is a no-op.
        py::object mu = plan->mean(std::move(x_tensor));
        return (on_cpu ? mu : mu.attr("cpu")()).attr("numpy")();
    }
    py::object outputs = model(x_tensor);
    py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(outputs));
    if (pair.size() != 2) {
        PyErr_Format(PyExc_ValueError,
                     pair.size() > 2 ? "too many values to unpack (expected 2)"
                                     : "not enough values to unpack (expected 2, got %zd)",
                     static_cast<Py_ssize_t>(pair.size()));
        throw py::error_already_set();
    }
    return pair[0].attr("cpu")().attr("numpy")();
}

// Standardising Z and taking the residual, ((Z - z_mean) / z_scale) - mu, is
// done in one pass when every operand is a plain C-ordered float32 array of
// matching shape: each element then goes through the same three float32
// operations, each rounded once, as in NumPy's element-wise ufuncs, into an
// array laid out as NumPy's would be. NumPy reports floating-point
// exceptions (a warning, or an error under np.seterr); if any is raised
// here the work is left to NumPy, which then reports it as before.
bool fusable_standardisation(const NumpyArrays& arrays, py::handle Z, py::handle z_mean, py::handle z_scale) {
    if (!arrays.exact(Z) || !arrays.exact(z_mean) || !arrays.exact(z_scale)) return false;
    rt::ContiguousView z(Z, "f", 2), mean(z_mean, "f", 1), scale(z_scale, "f", 1);
    return z && mean && scale && mean.extent(0) == z.extent(1) && scale.extent(0) == z.extent(1);
}

py::object fused_residuals(const Call& call, py::handle Z, py::handle z_mean, py::handle z_scale, py::handle mu) {
    rt::ContiguousView z(Z, "f", 2), mean(z_mean, "f", 1), scale(z_scale, "f", 1), predicted(mu, "f", 2);
    if (!z || !mean || !scale || !predicted || predicted.extent(0) != z.extent(0) || predicted.extent(1) != z.extent(1))
        return py::object();
    const Py_ssize_t rows = z.extent(0), columns = z.extent(1);
    py::object residuals = call.global("np").attr("empty")(py::make_tuple(rows, columns), float32(call));
    rt::ContiguousView out(residuals, "f", 2, true);
    if (!out) return py::object();
    std::feclearexcept(FE_ALL_EXCEPT);
    const float *zs = z.items<const float>(), *ms = mean.items<const float>(), *ss = scale.items<const float>(),
                *mus = predicted.items<const float>();
    float* rs = out.items<float>();
    for (Py_ssize_t r = 0; r < rows; ++r)
        for (Py_ssize_t c = 0; c < columns; ++c) {
            const Py_ssize_t i = r * columns + c;
            const float standardised = (zs[i] - ms[c]) / ss[c];
            rs[i] = standardised - mus[i];
        }
    const bool raised = std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0;
    std::feclearexcept(FE_ALL_EXCEPT);
    return raised ? py::object() : residuals;
}

bool has_nan(py::handle scores) {
    rt::ContiguousView view(scores, "d", -1);
    if (!view) return true;  // not a plain float64 buffer: let NumPy look
    const double* values = view.items<const double>();
    for (Py_ssize_t i = 0, n = view.size(); i < n; ++i)
        if (std::isnan(values[i])) return true;
    return false;
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
template <class Statistic>
std::optional<Py_ssize_t> trained_width(const Call& call, py::handle self, const char* dimension,
                                        Statistic&& statistic) {
    if (std::optional<Py_ssize_t> stored = stored_dimension(self, dimension)) return stored;
    return vector_length(call, statistic());
}

// S of shape (n, s_dim) and Z of shape (n, z_dim), as float32 matrices.
std::pair<py::object, py::object> paired_inputs(const Call& call, py::handle self, py::handle S_in, py::handle Z_in) {
    py::object S = float32_matrix(call, S_in, "S");
    py::object Z = float32_matrix(call, Z_in, "Z");
    auto engineer_mean = [&] { return self.attr("s_engineer").attr("mean_"); };
    auto z_mean = [&] { return self.attr("z_mean"); };
    if (auto s_dim = trained_width(call, self, "s_dim", engineer_mean)) require_width(S, "S", *s_dim);
    if (auto z_dim = trained_width(call, self, "z_dim", z_mean)) require_width(Z, "Z", *z_dim);
    require_paired_rows(S, Z);
    return {S, Z};
}

py::object score_batch(const Call& call) {
    py::handle self = call.self();
    require_trained(self);
    py::object np = call.global("np");
    auto [S, Z] = paired_inputs(call, self, call[1], call[2]);
    py::object S_eng = self.attr("s_engineer").attr("transform")(S);
    py::object z_mean = self.attr("z_mean"), z_scale = self.attr("z_scale");
    auto standardised = [&] { return ((Z - z_mean) / z_scale).attr("astype")(float32(call)); };
    // Plain float32 operands cannot fail, so their standardisation may wait
    // until the residual is taken, in the same pass.
    const bool fusable = fusable_standardisation(NumpyArrays(call), Z, z_mean, z_scale);
    py::object Z_norm = fusable ? py::object() : standardised();
    py::object mu = predicted_mean(call, self, std::move(S_eng));
    py::object residuals = fusable ? fused_residuals(call, Z, z_mean, z_scale, mu) : py::object();
    if (!residuals) residuals = (Z_norm ? Z_norm : standardised()) - mu;
    mu = py::object();
    py::object scores = row_quadratic_forms(call, residuals, self.attr("inv_cov"))
                            .attr("astype")(np.attr("float64"), py::arg("copy") = false);
    replace_nan_with_inf(np, scores);
    return scores;
}

py::object one_row(const Call& call, py::handle vector, const char* name) {
    require_real(call, vector, name);
    return as_float32_array(call, vector).attr("reshape")(1, -1);
}

py::object score(const Call& call) {
    py::object S = one_row(call, call[1], "s");
    py::object Z = one_row(call, call[2], "z");
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
