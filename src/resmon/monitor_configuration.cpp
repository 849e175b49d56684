// Construction of a monitor (hyper-parameters, untrained state) and its device
// policy.
#include "resmon/monitor_settings.hpp"
#include "resmon/resmon.hpp"

namespace tarvex::resmon {

namespace {

py::object init(const Call& call) {
    py::handle self = call.self();
    for (const MonitorSetting& setting : kMonitorSettings) self.attr(setting.name) = call.arg(setting.name);
    for (const char* trained : {"tau", "s_dim", "z_dim", "input_dim"}) self.attr(trained) = py::none();
    self.attr("s_engineer") = call.global("NeuralFeatureEngineer")();
    for (const char* trained : {"z_mean", "z_scale", "_model", "inv_cov"}) self.attr(trained) = py::none();
    self.attr("_torch_device") = self.attr("_resolve_device")(call.arg("device"));
    return py::none();
}

// "cuda..." selects that CUDA device when CUDA is usable; anything else is CPU.
py::object resolve_device(const Call& call) {
    py::handle device = call.arg("device");
    py::object torch = call.global("torch");
    py::object requested = device.attr("strip")().attr("lower")();
    if (is_truthy(requested.attr("startswith")("cuda")) && is_truthy(torch.attr("cuda").attr("is_available")()))
        return torch.attr("device")(device);
    return torch.attr("device")("cpu");
}

py::object set_device(const Call& call) {
    py::handle self = call.self();
    py::handle device = call.arg("device");
    self.attr("device") = device;
    self.attr("_torch_device") = self.attr("_resolve_device")(device);
    py::object model = self.attr("_model");
    if (!model.is_none()) self.attr("_model") = model.attr("to")(self.attr("_torch_device"));
    return py::reinterpret_borrow<py::object>(self);
}

const rt::MethodTable kConfigurationMethods{
    "NeuralConditionalMonitor",
    {
        {.name = "__init__",
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
         .defaults = monitor_setting_defaults},
        {.name = "_resolve_device",
         .params = {{"device", "str"}},
         .returns = "torch.device",
         .body = resolve_device,
         .binding = rt::Binding::Static},
        {.name = "set_device",
         .params = {{"self"}, {"device", "str"}},
         .returns = "'NeuralConditionalMonitor'",
         .body = set_device},
    },
};

}  // namespace

void add_configuration_methods(py::object& ns, py::module_ module) {
    rt::add_methods(ns, kConfigurationMethods, module);
}

}  // namespace tarvex::resmon
