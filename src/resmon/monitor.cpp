// NeuralConditionalMonitor: the class itself. Its methods live in one file per
// concern (configuration, training, scoring, persistence).
#include "resmon/resmon.hpp"
#include "runtime/classes.hpp"

namespace tarvex::resmon {

namespace {

constexpr const char* kMonitorDoc =
    "\n    Small neural conditional monitor:\n"
    "      engineered S -> predict mean/variance of Z -> score residual surprise.\n    ";

}  // namespace

py::object define_monitor(py::module_ module) {
    return rt::create_class("NeuralConditionalMonitor", module, py::tuple(), [&](py::object& ns) {
        ns["__doc__"] = kMonitorDoc;
        add_configuration_methods(ns, module);
        add_training_methods(ns, module);
        add_scoring_methods(ns, module);
        add_persistence_methods(ns, module);
    });
}

}  // namespace tarvex::resmon
