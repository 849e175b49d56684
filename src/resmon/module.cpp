// Module tarvex.core.resmon: entry point, lifecycle and the module body.
#include "resmon/resmon.hpp"
#include "runtime/lifecycle.hpp"

namespace tarvex::resmon {

namespace {

void bind_imports(py::module_ module) {
    module.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Any", "Dict", "Iterable", "Tuple"}) module.attr(name) = typing.attr(name);
    module.attr("np") = py::module_::import("numpy");
    module.attr("torch") = py::module_::import("torch");
    module.attr("nn") = py::module_::import("torch.nn");
}

void module_body(py::module_ module) {
    bind_imports(module);
    remember_numpy_originals(module);
    module.attr("_pairwise_products") = define_pairwise_products(module);
    module.attr("NeuralFeatureEngineer") = define_feature_engineer(module);
    module.attr("_ResidualHead") = define_residual_head(module);
    module.attr("NeuralConditionalMonitor") = define_monitor(module);
}

rt::ModuleLifecycle lifecycle("resmon", "tarvex.core.resmon", module_body);

}  // namespace

}  // namespace tarvex::resmon

extern "C" PYBIND11_EXPORT PyObject* PyInit_resmon() {
    return tarvex::rt::MultiPhaseModule<tarvex::resmon::lifecycle>::initialise();
}
