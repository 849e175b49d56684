// Persistence: the monitor as a plain dictionary of built-in values
// ("neural_conditional_monitor_v1") and back.
#include <string_view>

#include "resmon/monitor_settings.hpp"
#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

constexpr const char* kFormatTag = "neural_conditional_monitor_v1";

void require_complete(py::handle self) {
    for (const char* name : {"_model", "tau", "z_mean", "z_scale", "inv_cov"})
        if (self.attr(name).is_none()) rt::throw_python_error(PyExc_RuntimeError, "Detector not fit");
}


py::dict weights_as_lists(py::handle model) {
    py::dict weights;
    for (auto item : model.attr("state_dict")().attr("items")())
        weights[item[py::int_(0)]] = item[py::int_(1)].attr("detach")().attr("cpu")().attr("numpy")().attr("tolist")();
    return weights;
}

// A setting as the dictionary stores it: built-in values only. The device is
// always written as "cpu": a stored monitor loads on the CPU, whatever it ran on.
py::object stored_setting(MonitorSetting::Kind kind, py::handle value) {
    switch (kind) {
        case MonitorSetting::Kind::Widths: return py::list(py::reinterpret_borrow<py::object>(value));
        case MonitorSetting::Kind::Int: return python_int(value);
        case MonitorSetting::Kind::Float: return python_float(value);
        case MonitorSetting::Kind::Text: return py::str("cpu");
    }
    return py::none();
}

py::object to_dict(const Call& call) {
    py::handle self = call.self();
    require_complete(self);
    py::dict d;
    d["type"] = kFormatTag;
    for (const MonitorSetting& setting : kMonitorSettings)
        d[setting.name] = stored_setting(setting.kind, self.attr(setting.name));
    d["tau"] = python_float(self.attr("tau"));
    d["s_dim"] = python_int(self.attr("s_dim"));
    d["z_dim"] = python_int(self.attr("z_dim"));
    d["input_dim"] = python_int(self.attr("input_dim"));
    d["s_engineer"] = self.attr("s_engineer").attr("to_dict")();
    d["z_mean"] = self.attr("z_mean").attr("tolist")();
    d["z_scale"] = self.attr("z_scale").attr("tolist")();
    d["inv_cov"] = self.attr("inv_cov").attr("tolist")();
    d["state_dict"] = weights_as_lists(self.attr("_model"));
    return d;
}

// A dictionary written before `epochs` was stored, or edited to drop it,
// trains for 250 epochs when refitted: the loader's historical default,
// deliberately not the constructor's 120, so such monitors refit as before.
constexpr int kLoadedEpochsDefault = 250;

// A stored setting converted the way the loader has always read it: widths
// into a tuple, numbers through int() or float(), the device through str().
py::object loaded_setting(MonitorSetting::Kind kind, py::handle value) {
    switch (kind) {
        case MonitorSetting::Kind::Widths: return py::module_::import("builtins").attr("tuple")(value);
        case MonitorSetting::Kind::Int: return python_int(value);
        case MonitorSetting::Kind::Float: return python_float(value);
        case MonitorSetting::Kind::Text: return py::str(value);
    }
    return py::none();
}

// The constructor's settings, each read with the constructor's default (but
// see kLoadedEpochsDefault), in signature order.
py::object construct_from_settings(const Call& call, py::handle d) {
    py::object get = d.attr("get");
    py::tuple defaults = monitor_setting_defaults();
    py::dict settings;
    for (size_t i = 0; i < std::size(kMonitorSettings); ++i) {
        const MonitorSetting& setting = kMonitorSettings[i];
        py::object fallback = defaults[i];
        if (std::string_view(setting.name) == "epochs") fallback = py::int_(kLoadedEpochsDefault);
        settings[setting.name] = loaded_setting(setting.kind, get(setting.name, fallback));
    }
    return call.global("NeuralConditionalMonitor")(**settings);
}

py::object rebuild_network(const Call& call, py::handle monitor, py::handle stored_weights) {
    py::object model = call.global("_ResidualHead")(monitor.attr("input_dim"), monitor.attr("hidden"),
                                                    monitor.attr("z_dim"), monitor.attr("dropout"));
    model = model.attr("to")(monitor.attr("_torch_device"));
    py::object torch = call.global("torch");
    py::object float32_dtype = torch.attr("float32");
    // Nothing runs between the lookups that could change the new network,
    // which nobody else holds yet: one state_dict gives every dtype.
    py::object model_state = model.attr("state_dict")();
    py::dict state_dict;
    for (auto item : stored_weights.attr("items")()) {
        py::object key = item[py::int_(0)];
        py::object dtype = model_state[key].attr("dtype");
        py::object tensor = dtype.is(float32_dtype) ? float32_tensor_from_lists(call, item[py::int_(1)]) : py::object();
        state_dict[key] = tensor ? tensor : torch.attr("tensor")(item[py::int_(1)], py::arg("dtype") = dtype);
    }
    model.attr("load_state_dict")(state_dict);
    model.attr("eval")();
    return model;
}

py::object from_dict(const Call& call) {
    py::handle d = call[0];
    py::object np = call.global("np");
    py::object monitor = construct_from_settings(call, d);
    monitor.attr("tau") = python_float(d["tau"]);
    monitor.attr("s_dim") = python_int(d["s_dim"]);
    monitor.attr("z_dim") = python_int(d["z_dim"]);
    monitor.attr("input_dim") = python_int(d["input_dim"]);
    monitor.attr("s_engineer") = call.global("NeuralFeatureEngineer").attr("from_dict")(d["s_engineer"]);
    monitor.attr("z_mean") = np.attr("asarray")(d["z_mean"], py::arg("dtype") = np.attr("float32"));
    monitor.attr("z_scale") = np.attr("asarray")(d["z_scale"], py::arg("dtype") = np.attr("float32"));
    py::object stored_inv_cov = d.attr("get")("inv_cov");
    monitor.attr("inv_cov") = stored_inv_cov.is_none()
                                  ? py::object(py::none())
                                  : np.attr("asarray")(stored_inv_cov, py::arg("dtype") = np.attr("float64"));
    py::object stored_weights = d["state_dict"];
    check_loaded_monitor(call, monitor, stored_weights);
    monitor.attr("_model") = rebuild_network(call, monitor, stored_weights);
    return monitor;
}

const rt::MethodTable kPersistenceMethods{
    "NeuralConditionalMonitor",
    {
        {.name = "to_dict", .params = {{"self"}}, .returns = "Dict[str, Any]", .body = to_dict},
        {.name = "from_dict",
         .params = {{"d", "Dict[str, Any]"}},
         .returns = "'NeuralConditionalMonitor'",
         .body = from_dict,
         .binding = rt::Binding::Static},
    },
};

}  // namespace

void add_persistence_methods(py::object& ns, py::module_ module) {
    rt::add_methods(ns, kPersistenceMethods, module);
}

}  // namespace tarvex::resmon
