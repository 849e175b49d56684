// Construction of a monitor (hyper-parameters, untrained state) and its device
// policy.
#include "resmon/resmon.hpp"

namespace tarvex::resmon {

namespace {

py::object init(const Call& call) {
    py::handle self = call.self();
    const char* names[] = {"hidden", "epochs",       "batch_size",   "lr",       "weight_decay",
                           "dropout", "tau_quantile", "random_state", "patience", "device"};
    for (size_t i = 0; i < std::size(names); ++i) self.attr(names[i]) = call[i + 1];
    for (const char* trained : {"tau", "s_dim", "z_dim", "input_dim"}) self.attr(trained) = py::none();
    self.attr("s_engineer") = call.global("NeuralFeatureEngineer")();
    for (const char* trained : {"z_mean", "z_scale", "_model", "inv_cov"}) self.attr(trained) = py::none();
    self.attr("_torch_device") = self.attr("_resolve_device")(call[10]);
    return py::none();
}

// "cuda..." selects that CUDA device when CUDA is usable; anything else is CPU.
py::object resolve_device(const Call& call) {
    py::handle device = call[0];
    py::object torch = call.global("torch");
    py::object requested = device.attr("strip")().attr("lower")();
    if (is_truthy(requested.attr("startswith")("cuda")) && is_truthy(torch.attr("cuda").attr("is_available")()))
        return torch.attr("device")(device);
    return torch.attr("device")("cpu");
}

py::object set_device(const Call& call) {
    py::handle self = call.self();
    self.attr("device") = call[1];
    self.attr("_torch_device") = self.attr("_resolve_device")(call[1]);
    py::object model = self.attr("_model");
    if (!model.is_none()) self.attr("_model") = model.attr("to")(self.attr("_torch_device"));
    return py::reinterpret_borrow<py::object>(self);
}

const rt::FunctionDefinition kInit{
    .name = "__init__",
    .qualname = "NeuralConditionalMonitor.__init__",
    .params = {{"self"},
               {"hidden", "Tuple[int, ...]"},
               {"epochs", "int"},
               {"batch_size", "int"},
               {"lr", "float"},
               {"weight_decay", "float"},
               {"dropout", "float"},
               {"tau_quantile", "float"},
               {"random_state", "int"},
               {"patience", "int"},
               {"device", "str"}},
    .body = init,
};
const rt::FunctionDefinition kResolveDevice{
    .name = "_resolve_device",
    .qualname = "NeuralConditionalMonitor._resolve_device",
    .params = {{"device", "str"}},
    .returns = "torch.device",
    .body = resolve_device,
};
const rt::FunctionDefinition kSetDevice{
    .name = "set_device",
    .qualname = "NeuralConditionalMonitor.set_device",
    .params = {{"self"}, {"device", "str"}},
    .returns = "'NeuralConditionalMonitor'",
    .body = set_device,
};

}  // namespace

void add_configuration_methods(py::object& ns, py::module_ module) {
    py::tuple defaults = py::make_tuple(py::make_tuple(64, 64), 120, 64, 0.001, 0.0001, 0.05, 0.995, 0, 20, "cpu");
    ns["__init__"] = rt::make_function(kInit, module, defaults);
    ns["_resolve_device"] = rt::static_method(kResolveDevice, module);
    ns["set_device"] = rt::make_function(kSetDevice, module);
}

}  // namespace tarvex::resmon
