// _ResidualHead: the network that maps engineered S to the predicted mean and
// clamped log-variance of standardised Z.
#include "resmon/network_forward.hpp"
#include "resmon/resmon.hpp"
#include "runtime/classes.hpp"

namespace tarvex::resmon {

namespace {

// Linear -> ReLU [-> Dropout] per hidden width; returns the output width.
py::object hidden_stack(py::object nn, py::handle input_dim, py::handle hidden, double dropout, py::list& layers) {
    py::object prev = py::reinterpret_borrow<py::object>(input_dim);
    py::object dropout_value = py::float_(dropout);
    for (py::handle width : hidden) {
        layers.append(nn.attr("Linear")(prev, width));
        layers.append(nn.attr("ReLU")());
        if (dropout > 0) layers.append(nn.attr("Dropout")(dropout_value));
        prev = py::reinterpret_borrow<py::object>(width);
    }
    return prev;
}

py::object init(const Call& call) {
    py::handle self = call.self();
    call.super().attr("__init__")();
    py::object nn = call.global("nn");
    py::handle input_dim = call.arg("input_dim"), hidden = call.arg("hidden"), z_dim = call.arg("z_dim");
    const double dropout = PyFloat_AS_DOUBLE(call.arg("dropout").ptr());
    py::list layers;
    py::object prev = hidden_stack(nn, input_dim, hidden, dropout, layers);
    self.attr("backbone") = nn.attr("Sequential")(*layers);
    self.attr("mu") = nn.attr("Linear")(prev, z_dim);
    self.attr("log_var") = nn.attr("Linear")(prev, z_dim);
    return py::none();
}

py::object forward(const Call& call) {
    py::handle self = call.self();
    py::object h = self.attr("backbone")(call.arg("x"));
    py::object mu = self.attr("mu")(h);
    py::object log_var =
        call.global("torch").attr("clamp")(self.attr("log_var")(h), py::arg("min") = -4.0, py::arg("max") = 4.0);
    return py::make_tuple(mu, log_var);
}

const rt::MethodTable kHeadMethods{
    "_ResidualHead",
    {
        {.name = "__init__",
         .params = {{"self"}, {"input_dim", "int"}, {"hidden", "Tuple[int, ...]"}, {"z_dim", "int"}, {"dropout", "float"}},
         .body = init},
        {.name = "forward",
         .params = {{"self"}, {"x", "torch.Tensor"}},
         .returns = "tuple[torch.Tensor, torch.Tensor]",
         .body = forward},
    },
};

}  // namespace

py::object define_residual_head(py::module_ module) {
    py::tuple bases = py::make_tuple(module.attr("nn").attr("Module"));
    py::object head = rt::create_class(kHeadMethods.class_name, module, bases,
                                       [&](py::object& ns) { rt::add_methods(ns, kHeadMethods, module); });
    remember_network_originals(module, head, head.attr("__dict__")["forward"]);
    return head;
}

}  // namespace tarvex::resmon
