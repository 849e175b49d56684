// The pieces of the tarvex.core.resmon module body. Each `define_*` builds one
// module-level object; each `add_*` adds one concern's methods to the class
// namespace of NeuralConditionalMonitor, in the order the class lists them.
#pragma once

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
using rt::equals;
using rt::is_truthy;
using rt::power;
using rt::python_float;
using rt::python_int;

}  // namespace tarvex::resmon
