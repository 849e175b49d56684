// Checks on a monitor rebuilt from a dictionary, before its network is built.
// A damaged or tampered dictionary must not load into a monitor that scores
// silently wrong (arrays that broadcast), can never alarm (a NaN threshold, a
// zero covariance, a threshold no score can reach), cannot score at all (an
// input_dim the engineer does not make) or allocates far more than the
// dictionary holds.
#include <cmath>
#include <string>
#include <vector>

#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

[[noreturn]] void throw_inconsistent(const std::string& what) {
    rt::throw_python_error(PyExc_ValueError, ("Monitor dictionary is inconsistent: " + what).c_str());
}

bool has_shape(py::handle array, py::tuple shape) { return equals(array.attr("shape"), shape); }

// Stored arrays whose shapes disagree with the stored dimensions would be
// broadcast by NumPy.
void check_array_shapes(py::handle monitor) {
    py::object z_dim = monitor.attr("z_dim"), s_dim = monitor.attr("s_dim");
    for (const char* name : {"z_mean", "z_scale"})
        if (!has_shape(monitor.attr(name), py::make_tuple(z_dim))) throw_inconsistent(std::string(name) + " must hold z_dim values");
    py::object inv_cov = monitor.attr("inv_cov");
    if (!inv_cov.is_none() && !has_shape(inv_cov, py::make_tuple(z_dim, z_dim)))
        throw_inconsistent("inv_cov must be a z_dim x z_dim matrix");
    py::object engineer = monitor.attr("s_engineer");
    for (const char* name : {"mean_", "scale_"}) {
        py::object statistic = engineer.attr(name);
        if (!statistic.is_none() && !has_shape(statistic, py::make_tuple(s_dim)))
            throw_inconsistent("the engineer's statistics must hold s_dim values");
    }
}

bool all_finite(py::handle np, py::handle array) { return is_truthy(np.attr("isfinite")(array).attr("all")()); }

bool all_finite_and_positive(py::handle np, py::handle array) {
    return all_finite(np, array) && is_truthy(np.attr("greater")(array, 0).attr("all")());
}

void check_scale(const Call& call, py::handle np, py::handle scale, const std::string& name) {
    if (!all_finite_and_positive(np, scale)) throw_inconsistent(name + " must hold finite positive values");
    if (std::optional<std::string> problem = scale_problem(call, scale, name)) throw_inconsistent(*problem);
}

// A dimension of the network as stored: an int of at least `least`.
Py_ssize_t stored_dimension(py::handle value, const char* what, Py_ssize_t least = 0) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    const Py_ssize_t result = index ? PyLong_AsSsize_t(index.ptr()) : -1;
    if (result < least) {
        PyErr_Clear();
        throw_inconsistent(std::string(what) + (least > 0 ? " must be a positive integer" : " must be a non-negative integer"));
    }
    return result;
}

// Values with which the monitor could never alarm, or would blind a column.
void check_array_values(const Call& call, py::handle monitor) {
    py::object np = call.global("np");
    const double tau = py::cast<double>(monitor.attr("tau"));
    if (!std::isfinite(tau)) throw_inconsistent("tau must be a finite number");
    if (!all_finite(np, monitor.attr("z_mean"))) throw_inconsistent("z_mean must hold finite values");
    check_scale(call, np, monitor.attr("z_scale"), "z_scale");
    py::object engineer = monitor.attr("s_engineer");
    py::object mean = engineer.attr("mean_"), scale = engineer.attr("scale_");
    if (!mean.is_none() && !all_finite(np, mean)) throw_inconsistent("the engineer's mean must hold finite values");
    if (!scale.is_none()) check_scale(call, np, scale, "the engineer's scale");
    py::object inv_cov = monitor.attr("inv_cov");
    std::optional<double> largest_eigenvalue;
    if (!inv_cov.is_none()) {
        InverseCovariance examined = examine_inverse_covariance(call, inv_cov);
        if (examined.problem) throw_inconsistent(*examined.problem);
        largest_eigenvalue = examined.largest_eigenvalue;
    }
    // A negative tau alarms on every input: loud, and left to the caller.
    const double bound = largest_reachable_score(stored_dimension(monitor.attr("z_dim"), "z_dim"), largest_eigenvalue);
    if (tau >= bound) throw_inconsistent(unreachable_threshold_text(tau, bound));
}

// input_dim must be the width the engineer makes from s_dim columns with its
// flags, or the network's first layer cannot take the engineered rows.
void check_engineered_width(py::handle monitor) {
    py::object engineer = monitor.attr("s_engineer");
    const py::int_ d(stored_dimension(monitor.attr("s_dim"), "s_dim"));
    py::object blocks = py::int_(1);
    for (const char* flag : {"include_square", "include_logabs"})
        if (is_truthy(engineer.attr(flag))) blocks = blocks + py::int_(1);
    py::object width = blocks * d;
    if (is_truthy(engineer.attr("include_interactions"))) {
        py::object pairs = rt::steal_or_throw(PyNumber_FloorDivide((d * (d - py::int_(1))).ptr(), py::int_(2).ptr()));
        width = width + pairs;
    }
    py::object input_dim = python_int(monitor.attr("input_dim"));
    if (!equals(width, input_dim))
        throw_inconsistent("input_dim is " + py::str(input_dim).cast<std::string>() + ", but the engineer makes " +
                           py::str(width).cast<std::string>() + " columns from s_dim " +
                           py::str(d).cast<std::string>() + " with its flags");
}

using Shape = std::vector<Py_ssize_t>;

struct Parameter {
    std::string name;
    Shape shape;
};

void add_linear(std::vector<Parameter>& parameters, const std::string& prefix, Py_ssize_t in, Py_ssize_t out) {
    parameters.push_back({prefix + ".weight", {out, in}});
    parameters.push_back({prefix + ".bias", {out}});
}

// The parameters, with their shapes, of the network the dimensions describe:
// per hidden width a Linear, a ReLU and (with dropout) a Dropout in
// `backbone`, then the `mu` and `log_var` heads.
std::vector<Parameter> described_parameters(py::handle monitor) {
    Py_ssize_t previous = stored_dimension(monitor.attr("input_dim"), "input_dim");
    const Py_ssize_t z_dim = stored_dimension(monitor.attr("z_dim"), "z_dim");
    const bool dropout = py::cast<double>(monitor.attr("dropout")) > 0;
    py::tuple hidden = monitor.attr("hidden");
    std::vector<Parameter> parameters;
    parameters.reserve(2 * hidden.size() + 4);
    Py_ssize_t position = 0;
    for (py::handle width_value : hidden) {
        const Py_ssize_t width = stored_dimension(width_value, "every hidden width", 1);
        add_linear(parameters, "backbone." + std::to_string(position), previous, width);
        position += dropout ? 3 : 2;
        previous = width;
    }
    add_linear(parameters, "mu", previous, z_dim);
    add_linear(parameters, "log_var", previous, z_dim);
    return parameters;
}

// Whether nested lists (or tuples) of numbers have exactly `shape`, from
// `axis` on. Walks every element once and runs no Python code, so borrowed
// items stay valid.
bool nested_lists_have_shape(PyObject* value, const Shape& shape, size_t axis) {
    const bool is_list = PyList_Check(value), is_tuple = PyTuple_Check(value);
    if (axis == shape.size()) return !is_list && !is_tuple;
    if (!is_list && !is_tuple) return false;
    const Py_ssize_t length = is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
    if (length != shape[axis]) return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* element = is_list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i);
        if (!nested_lists_have_shape(element, shape, axis + 1)) return false;
    }
    return true;
}

// Stored weights are nested lists; arrays and tensors are accepted by shape.
bool stored_value_has_shape(py::handle value, const Shape& shape) {
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) || !py::hasattr(value, "shape"))
        return nested_lists_have_shape(value.ptr(), shape, 0);
    py::tuple actual = py::tuple(value.attr("shape"));
    if (actual.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (!equals(actual[i], py::int_(shape[i]))) return false;
    return true;
}

// Every stored weight must be one of the described network's parameters, of
// its shape, and none may be missing: then building the network allocates
// exactly what the dictionary stores, and loading it cannot fail.
void check_stored_weights(py::handle monitor, py::handle stored_weights) {
    if (!PyMapping_Check(stored_weights.ptr()) || !py::hasattr(stored_weights, "items"))
        throw_inconsistent("state_dict must map parameter names to weights");
    std::vector<Parameter> parameters = described_parameters(monitor);
    if (py::len(stored_weights) != parameters.size())
        throw_inconsistent("state_dict holds " + std::to_string(py::len(stored_weights)) +
                           " weights where the network has " + std::to_string(parameters.size()));
    for (const Parameter& parameter : parameters) {
        py::str name(parameter.name);
        if (!is_truthy(stored_weights.attr("__contains__")(name)))
            throw_inconsistent("state_dict lacks " + parameter.name);
        py::object value = stored_weights[name];
        if (!stored_value_has_shape(value, parameter.shape))
            throw_inconsistent(parameter.name + " does not have the shape the network's dimensions give");
    }
}

}  // namespace

void check_loaded_monitor(const Call& call, py::handle monitor, py::handle stored_weights) {
    check_array_shapes(monitor);
    check_engineered_width(monitor);
    check_array_values(call, monitor);
    check_stored_weights(monitor, stored_weights);
}

}  // namespace tarvex::resmon
