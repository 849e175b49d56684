// The residual network evaluated on its parameters, without the module-call
// machinery (about ten nn.Module.__call__ dispatches per forward pass).
//
// The direct evaluation makes exactly the library calls that the modules'
// forward methods make, in the same order, so it gives the same bits; it is
// used only when calling the module could do nothing else:
//   - the network is exactly this module's _ResidualHead, its backbone
//     exactly an nn.Sequential, every layer exactly an nn.Linear, nn.ReLU or
//     nn.Dropout, every parameter exactly an nn.Parameter;
//   - no class involved has a replaced forward, __call__ or _call_impl (all
//     are the functions found when this module was imported), no instance
//     carries its own forward or _call_impl, and nothing is compiled;
//   - no forward or backward hook or pre-hook is registered, on any of the
//     modules or in the global registries (with none registered,
//     _call_impl goes straight to forward);
//   - no JIT trace, no __torch_function__ mode and no dispatch mode is
//     active (they could observe the calls a module makes), and the
//     functional operations the layers call are PyTorch's own.
// Everything is checked again on every call: a check reads a few dozen
// dictionary entries, far less than one module call costs, and nothing
// cached can go stale when a hook is added or a layer replaced later.
#include <optional>
#include <vector>

#include "resmon/network_forward.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

py::object interned(const char* text) { return rt::steal_or_throw(PyUnicode_InternFromString(text)); }

// What the checks compare against: PyTorch's classes and functions as found
// when the module body ran, and interned attribute names.
struct Originals {
    py::object head_class, head_forward;
    py::object module_call, module_call_impl;
    py::object sequential, linear, relu, dropout, parameter, ordered_dict;
    py::object sequential_forward, linear_forward, relu_forward, dropout_forward;
    py::object functional, f_linear, f_relu, f_dropout;
    py::object torch, torch_relu, torch_relu_, vf_dropout, vf_dropout_;
    py::object module_globals;  // the namespace of torch.nn.modules.module
    py::object tracing_state, function_mode_enabled, dispatch_stack_length;
    py::object is_grad_enabled, set_grad_enabled;
    py::object device_class, s_type, s_index, s_cpu;
    py::object s_forward, s_call, s_call_impl, s_compiled_call_impl, s_training, s_modules, s_parameters;
    py::object s_weight, s_bias, s_p, s_inplace, s_backbone, s_mu, s_log_var, s_relu, s_relu_;
    py::object s_linear, s_f_relu, s_dropout;
    std::vector<py::object> hook_names;         // per-instance hook dictionaries
    std::vector<py::object> global_hook_names;  // global hook registries
};

// Filled once, when the module body runs, and kept for the life of the
// process like the module itself: it is never destroyed, so no reference is
// dropped after the interpreter has shut down.
Originals* originals = nullptr;

py::object class_attribute(py::handle cls, const char* name) {
    return py::reinterpret_borrow<py::object>(py::handle(cls).attr(name));
}

// `cls.name`, or a null object when the class has no such attribute.
py::object lookup(py::handle cls, py::handle name) {
    PyObject* value = PyObject_GetAttr(cls.ptr(), name.ptr());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

// A borrowed entry of an exact dict, or nullptr when absent.
PyObject* entry(PyObject* dict, py::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict, key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

bool is_empty_registry(const Originals& o, PyObject* value) {
    if (value == nullptr) return false;
    const bool plain = PyDict_CheckExact(value) || Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(o.ordered_dict.ptr());
    return plain && PyDict_GET_SIZE(value) == 0;
}

bool is_exact(py::handle object, const py::object& cls) {
    return Py_TYPE(object.ptr()) == reinterpret_cast<PyTypeObject*>(cls.ptr());
}

// The class calls `forward` through nn.Module's own __call__ and _call_impl,
// and nothing is compiled for it.
bool class_is_plain(const Originals& o, const py::object& cls, const py::object& forward) {
    py::object compiled = lookup(cls, o.s_compiled_call_impl);
    return lookup(cls, o.s_forward).is(forward) && lookup(cls, o.s_call).is(o.module_call) &&
           lookup(cls, o.s_call_impl).is(o.module_call_impl) && (!compiled || compiled.is_none());
}

bool functions_are_plain(const Originals& o) {
    const py::handle F = o.functional, torch = o.torch;
    return lookup(F, o.s_linear).is(o.f_linear) && lookup(F, o.s_f_relu).is(o.f_relu) &&
           lookup(F, o.s_dropout).is(o.f_dropout) && lookup(torch, o.s_relu).is(o.torch_relu) &&
           lookup(torch, o.s_relu_).is(o.torch_relu_);
}

// No __torch_function__ or dispatch mode could observe the calls made.
bool no_active_modes(const Originals& o) {
    return !is_truthy(o.function_mode_enabled()) && equals(o.dispatch_stack_length(), py::int_(0));
}

bool no_global_interception(const Originals& o) {
    for (const py::object& name : o.global_hook_names)
        if (!is_empty_registry(o, entry(o.module_globals.ptr(), name))) return false;
    return o.tracing_state().is_none() && no_active_modes(o);
}

// The instance dictionary of a module whose call goes straight to its
// class's forward: in the wanted mode, no hooks, no forward or _call_impl of
// its own, nothing compiled. Null when any of that fails.
py::object plain_instance_dict(const Originals& o, py::handle module, bool training) {
    py::object dict = rt::steal_or_throw(PyObject_GenericGetDict(module.ptr(), nullptr));
    PyObject* d = dict.ptr();
    if (!PyDict_CheckExact(d)) return py::object();
    if (entry(d, o.s_training) != (training ? Py_True : Py_False)) return py::object();
    for (const py::object& name : o.hook_names)
        if (!is_empty_registry(o, entry(d, name))) return py::object();
    if (entry(d, o.s_forward) != nullptr || entry(d, o.s_call_impl) != nullptr) return py::object();
    PyObject* compiled = entry(d, o.s_compiled_call_impl);
    if (compiled != nullptr && compiled != Py_None) return py::object();
    return dict;
}

// An exact dict held in the instance dictionary under `name`.
PyObject* sub_dict(PyObject* instance_dict, py::handle name) {
    PyObject* value = entry(instance_dict, name);
    return value != nullptr && PyDict_CheckExact(value) ? value : nullptr;
}

bool exact_bool(PyObject* value) { return value == Py_True || value == Py_False; }

}  // namespace

namespace {

// The weight and bias of an exact nn.Linear that Linear.forward would read.
std::optional<NetworkPlan::Linear> linear_parameters(const Originals& o, py::handle layer, bool training) {
    if (!is_exact(layer, o.linear)) return std::nullopt;
    py::object dict = plain_instance_dict(o, layer, training);
    if (!dict) return std::nullopt;
    // Linear.forward reads self.weight and self.bias, which resolve to the
    // registered parameters unless the instance shadows them.
    if (entry(dict.ptr(), o.s_weight) != nullptr || entry(dict.ptr(), o.s_bias) != nullptr) return std::nullopt;
    PyObject* parameters = sub_dict(dict.ptr(), o.s_parameters);
    if (parameters == nullptr) return std::nullopt;
    PyObject* weight = entry(parameters, o.s_weight);
    PyObject* bias = entry(parameters, o.s_bias);
    if (weight == nullptr || !is_exact(weight, o.parameter)) return std::nullopt;
    if (bias == nullptr || (bias != Py_None && !is_exact(bias, o.parameter))) return std::nullopt;
    return NetworkPlan::Linear{py::reinterpret_borrow<py::object>(weight), py::reinterpret_borrow<py::object>(bias)};
}

std::optional<NetworkPlan::Step> backbone_step(const Originals& o, py::handle layer, bool training) {
    using Kind = NetworkPlan::Step::Kind;
    if (is_exact(layer, o.linear)) {
        std::optional<NetworkPlan::Linear> parameters = linear_parameters(o, layer, training);
        if (!parameters) return std::nullopt;
        return NetworkPlan::Step{Kind::linear, std::move(*parameters)};
    }
    const bool relu = is_exact(layer, o.relu);
    if (!relu && !is_exact(layer, o.dropout)) return std::nullopt;
    py::object dict = plain_instance_dict(o, layer, training);
    if (!dict) return std::nullopt;
    PyObject* inplace = entry(dict.ptr(), o.s_inplace);
    if (inplace == nullptr || !exact_bool(inplace)) return std::nullopt;
    NetworkPlan::Step step{relu ? Kind::relu : Kind::dropout, {}, inplace == Py_True, py::object()};
    if (relu) return step;
    // F.dropout refuses a probability outside [0, 1], even in evaluation
    // mode: such a layer is left to the module call to refuse.
    PyObject* p = entry(dict.ptr(), o.s_p);
    if (p == nullptr || !(PyFloat_CheckExact(p) || PyLong_CheckExact(p))) return std::nullopt;
    const double value = PyFloat_AsDouble(p);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (value < 0.0 || value > 1.0) return std::nullopt;
    step.p = py::reinterpret_borrow<py::object>(p);
    return step;
}

// Whether evaluating `a` instead of `b` on the same input could fail where
// `b` succeeds: not when both tensors agree in shape, dtype and device.
bool same_kind_of_tensor(py::handle a, py::handle b) {
    if (a.is_none() || b.is_none()) return a.is_none() && b.is_none();
    return equals(a.attr("shape"), b.attr("shape")) && a.attr("dtype").is(b.attr("dtype")) &&
           equals(a.attr("device"), b.attr("device"));
}

}  // namespace

void remember_network_originals(py::module_ module, py::handle head_class, py::handle head_forward) {
    auto o = std::make_unique<Originals>();
    py::object torch = module.attr("torch"), nn = module.attr("nn");
    py::module_ module_module = py::module_::import("torch.nn.modules.module");
    o->head_class = py::reinterpret_borrow<py::object>(head_class);
    o->head_forward = py::reinterpret_borrow<py::object>(head_forward);
    py::object nn_module = nn.attr("Module");
    o->module_call = class_attribute(nn_module, "__call__");
    o->module_call_impl = class_attribute(nn_module, "_call_impl");
    o->sequential = nn.attr("Sequential");
    o->linear = nn.attr("Linear");
    o->relu = nn.attr("ReLU");
    o->dropout = nn.attr("Dropout");
    o->parameter = nn.attr("Parameter");
    o->ordered_dict = py::module_::import("collections").attr("OrderedDict");
    o->sequential_forward = class_attribute(o->sequential, "forward");
    o->linear_forward = class_attribute(o->linear, "forward");
    o->relu_forward = class_attribute(o->relu, "forward");
    o->dropout_forward = class_attribute(o->dropout, "forward");
    o->functional = py::module_::import("torch.nn.functional");
    o->f_linear = o->functional.attr("linear");
    o->f_relu = o->functional.attr("relu");
    o->f_dropout = o->functional.attr("dropout");
    o->torch = torch;
    o->torch_relu = torch.attr("relu");
    o->torch_relu_ = torch.attr("relu_");
    // What F.dropout calls (torch._VF forwards to these).
    py::object variable_functions = torch.attr("_C").attr("_VariableFunctions");
    o->vf_dropout = variable_functions.attr("dropout");
    o->vf_dropout_ = variable_functions.attr("dropout_");
    o->module_globals = module_module.attr("__dict__");
    py::object C = torch.attr("_C");
    o->tracing_state = C.attr("_get_tracing_state");
    o->function_mode_enabled = C.attr("_is_torch_function_mode_enabled");
    o->dispatch_stack_length = C.attr("_len_torch_dispatch_stack");
    o->is_grad_enabled = C.attr("is_grad_enabled");
    o->device_class = torch.attr("device");
    o->s_type = interned("type");
    o->s_index = interned("index");
    o->s_cpu = interned("cpu");
    o->set_grad_enabled = C.attr("_set_grad_enabled");
    o->s_forward = interned("forward");
    o->s_call = interned("__call__");
    o->s_call_impl = interned("_call_impl");
    o->s_compiled_call_impl = interned("_compiled_call_impl");
    o->s_training = interned("training");
    o->s_modules = interned("_modules");
    o->s_parameters = interned("_parameters");
    o->s_weight = interned("weight");
    o->s_bias = interned("bias");
    o->s_p = interned("p");
    o->s_inplace = interned("inplace");
    o->s_backbone = interned("backbone");
    o->s_mu = interned("mu");
    o->s_log_var = interned("log_var");
    o->s_relu = interned("relu");
    o->s_relu_ = interned("relu_");
    o->s_linear = interned("linear");
    o->s_f_relu = o->s_relu;
    o->s_dropout = interned("dropout");
    for (const char* name : {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks"})
        o->hook_names.push_back(interned(name));
    for (const char* name : {"_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks",
                             "_global_backward_pre_hooks"})
        o->global_hook_names.push_back(interned(name));
    delete originals;  // a body that failed earlier may have filled it
    originals = o.release();
}

bool is_plain_cpu_device(py::handle device) {
    if (originals == nullptr || !is_exact(device, originals->device_class) || !no_active_modes(*originals)) return false;
    return equals(device.attr(originals->s_type), originals->s_cpu) && device.attr(originals->s_index).is_none();
}

GradDisabled::GradDisabled() {
    previous_ = originals->is_grad_enabled();
    originals->set_grad_enabled(false);
}

GradDisabled::~GradDisabled() {
    try {
        originals->set_grad_enabled(previous_);
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("restoring PyTorch's gradient mode");
    }
}

NetworkPlan::NetworkPlan() = default;
NetworkPlan::NetworkPlan(NetworkPlan&&) noexcept = default;
NetworkPlan& NetworkPlan::operator=(NetworkPlan&&) noexcept = default;
NetworkPlan::~NetworkPlan() = default;

std::optional<NetworkPlan> NetworkPlan::of(py::handle model, bool training) {
    if (originals == nullptr) return std::nullopt;
    const Originals& o = *originals;
    if (!is_exact(model, o.head_class) || !no_global_interception(o) || !functions_are_plain(o)) return std::nullopt;
    if (!class_is_plain(o, o.head_class, o.head_forward) || !class_is_plain(o, o.sequential, o.sequential_forward) ||
        !class_is_plain(o, o.linear, o.linear_forward) || !class_is_plain(o, o.relu, o.relu_forward) ||
        !class_is_plain(o, o.dropout, o.dropout_forward))
        return std::nullopt;

    py::object dict = plain_instance_dict(o, model, training);
    if (!dict) return std::nullopt;
    // forward reads self.backbone, self.mu and self.log_var: the registered
    // submodules unless the instance shadows them.
    for (const py::object& name : {o.s_backbone, o.s_mu, o.s_log_var})
        if (entry(dict.ptr(), name) != nullptr) return std::nullopt;
    PyObject* children = sub_dict(dict.ptr(), o.s_modules);
    if (children == nullptr) return std::nullopt;
    PyObject* backbone = entry(children, o.s_backbone);
    PyObject* mu = entry(children, o.s_mu);
    PyObject* log_var = entry(children, o.s_log_var);
    if (backbone == nullptr || mu == nullptr || log_var == nullptr || !is_exact(backbone, o.sequential)) return std::nullopt;

    NetworkPlan plan;
    plan.training_ = training;
    py::object backbone_dict = plain_instance_dict(o, backbone, training);
    if (!backbone_dict) return std::nullopt;
    PyObject* layers = sub_dict(backbone_dict.ptr(), o.s_modules);
    if (layers == nullptr) return std::nullopt;
    // Sequential.forward calls the layers in the order of _modules.
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *layer = nullptr;
    while (PyDict_Next(layers, &position, &key, &layer)) {
        std::optional<Step> step = backbone_step(o, layer, training);
        if (!step) return std::nullopt;
        plan.steps_.push_back(std::move(*step));
    }
    std::optional<Linear> mu_parameters = linear_parameters(o, mu, training);
    std::optional<Linear> log_var_parameters = linear_parameters(o, log_var, training);
    if (!mu_parameters || !log_var_parameters) return std::nullopt;
    plan.mu_ = std::move(*mu_parameters);
    plan.log_var_ = std::move(*log_var_parameters);
    return plan;
}

bool NetworkPlan::log_var_cannot_fail() const {
    return same_kind_of_tensor(log_var_.weight, mu_.weight) && same_kind_of_tensor(log_var_.bias, mu_.bias);
}

py::object NetworkPlan::linear(const Linear& layer, py::handle input) {
    return originals->f_linear(input, layer.weight, layer.bias);
}

py::object NetworkPlan::backbone(py::object x, bool rectify_in_place) const {
    const Originals& o = *originals;
    py::handle training = training_ ? Py_True : Py_False;
    py::object h = std::move(x);
    bool owned = false;  // whether h was made here and is seen by nobody else
    for (const Step& step : steps_) {
        switch (step.kind) {
            case Step::Kind::linear:
                h = linear(step.linear, h);  // releases the previous activation, or x
                owned = true;
                break;
            case Step::Kind::relu:
                if (step.inplace) {
                    o.torch_relu_(h);
                } else if (rectify_in_place && owned) {
                    // The values torch.relu gives, without a second buffer.
                    o.torch_relu_(h);
                } else {
                    h = o.torch_relu(h);
                    owned = true;
                }
                break;
            case Step::Kind::dropout:
                // In evaluation mode F.dropout hands back its input.
                if (training_) {
                    h = (step.inplace ? o.vf_dropout_ : o.vf_dropout)(h, step.p, training);
                    owned = owned || !step.inplace;
                }
                break;
        }
    }
    return h;
}

py::object NetworkPlan::mean(py::object x) const {
    py::object h = backbone(std::move(x), true);
    return linear(mu_, h);
}

std::pair<py::object, py::object> NetworkPlan::mean_and_log_var(const Call& call, py::object x) const {
    py::object h = backbone(std::move(x), false);
    py::object mu = linear(mu_, h);
    py::object clamp = call.global("torch").attr("clamp");
    py::object log_var = clamp(linear(log_var_, h), py::arg("min") = -4.0, py::arg("max") = 4.0);
    return {std::move(mu), std::move(log_var)};
}

}  // namespace tarvex::resmon
