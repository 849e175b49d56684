#include "resmon/feature_kernel.hpp"

namespace tarvex::resmon {

py::object engineer_natively(const Call&, py::handle, py::handle) { return py::object(); }

}  // namespace tarvex::resmon
