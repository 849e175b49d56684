// The pieces of the tarvex.core.integrity module body.
#pragma once

#include "runtime/function.hpp"
#include "runtime/python.hpp"

namespace tarvex::integrity {

using rt::Call;

// Creates QVMIntegrityModel as a subclass of `base` (IntegrityMonitor).
py::object define_integrity_model(py::module_ module, py::handle base);

}  // namespace tarvex::integrity
