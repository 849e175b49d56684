// The pieces of the tarvex.core.resmon module body. Each `define_*` builds one
// module-level object; each `add_*` adds one concern's methods to the class
// namespace of NeuralConditionalMonitor, in the order the class lists them.
#pragma once

#include <optional>

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

// Small helpers shared by the concerns.
py::object float32(const Call& call);                        // np.float32
py::object as_float32_array(const Call& call, py::handle x);  // np.asarray(x, dtype=np.float32)

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
