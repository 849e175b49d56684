// The pieces of the tarvex.core.resmon module body. Each `define_*` builds one
// module-level object; each `add_*` adds one concern's methods to the class
// namespace of NeuralConditionalMonitor, in the order the class lists them.
#pragma once

#include <optional>
#include <string>

#include "runtime/function.hpp"
#include "runtime/objects.hpp"
#include "runtime/python.hpp"

namespace tarvex::resmon {

using rt::Call;

py::object define_pairwise_products(py::module_ module);
py::object define_feature_engineer(py::module_ module);
py::object define_residual_head(py::module_ module);
py::object define_monitor(py::module_ module);

void add_configuration_methods(py::object& namespace_, py::module_ module);
void add_training_methods(py::object& namespace_, py::module_ module);
void add_scoring_methods(py::object& namespace_, py::module_ module);
void add_persistence_methods(py::object& namespace_, py::module_ module);

// Small helpers shared by the concerns (array_shortcuts.cpp). Where NumPy's
// outcome is known they skip its Python-level wrappers, with the same result.
void remember_numpy_originals(py::module_ module);            // when the module body runs
py::object float32(const Call& call);                        // np.float32
py::object as_float32_array(const Call& call, py::handle x);  // np.asarray(x, dtype=np.float32)
py::object shape_of(const Call& call, py::handle array);      // np.shape(array)
// Whether objects are exact ndarrays, while the module's `np` is NumPy.
class NumpyArrays {
public:
    explicit NumpyArrays(const Call& call);
    bool exact(py::handle value) const { return ndarray_ != nullptr && Py_TYPE(value.ptr()) == ndarray_; }

private:
    PyTypeObject* ndarray_ = nullptr;
};
// np.einsum("ni,ij,nj->n", r, matrix, r): each row's quadratic form.
py::object row_quadratic_forms(const Call& call, py::handle r, py::handle matrix);

// Shape checks (input_checks.cpp), each raising ValueError with the expected
// and the received shapes.
// np.asarray(data, dtype=np.float32), required to be a 2-D matrix.
py::object float32_matrix(const Call& call, py::handle data, const char* name);
void require_width(py::handle matrix, const char* name, Py_ssize_t width);
void require_paired_rows(py::handle S, py::handle Z);
// The length of a one-dimensional statistic; nullopt for any other shape.
std::optional<Py_ssize_t> vector_length(const Call& call, py::handle statistic);
// Finite data whose float32 mean or scale overflowed would standardise to a
// constant and blind its column; refused with the column named. Data that
// already hold NaN or inf pass (training then fails on them).
void require_finite_statistics(const Call& call, py::handle data, py::handle mean, py::handle scale, const char* name);

// Refuses complex data, whose imaginary part the float32 conversion would
// drop with only a NumPy warning: TypeError naming the argument.
void require_real(const Call& call, py::handle data, const char* name);

// Ranges that keep the monitor able to alarm (value_ranges.cpp); each check
// describes what is wrong, or gives nullopt.
// Every value of `scale` within float32's normal range.
std::optional<std::string> scale_problem(const Call& call, py::handle scale, const std::string& name);
// inv_cov finite, its symmetric part positive definite with eigenvalues
// within float32's normal range; with the largest eigenvalue when known.
struct InverseCovariance {
    std::optional<std::string> problem;
    double largest_eigenvalue;
};
InverseCovariance examine_inverse_covariance(const Call& call, py::handle inv_cov);
// The largest score a finite float32 residual of z_dim values can reach under
// an inv_cov of that largest eigenvalue (float32's largest value when unknown).
double largest_reachable_score(Py_ssize_t z_dim, std::optional<double> largest_eigenvalue);
std::string unreachable_threshold_text(double tau, double bound);

// torch.tensor(value, dtype=torch.float32) of stored weights given as nested
// lists of floats; a null object where that call must be made instead
// (weight_lists.cpp).
py::object float32_tensor_from_lists(const Call& call, py::handle value);

// Refuses, with ValueError "Monitor dictionary is inconsistent: ...", a monitor
// loaded from a dictionary whose arrays, values or stored weights do not fit
// its dimensions (monitor_dictionary_checks.cpp).
void check_loaded_monitor(const Call& call, py::handle monitor, py::handle stored_weights);

using rt::equals;
using rt::is_truthy;
using rt::power;
using rt::python_float;
using rt::python_int;

}  // namespace tarvex::resmon
