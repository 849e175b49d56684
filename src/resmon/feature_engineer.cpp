// NeuralFeatureEngineer: standardises S and appends squares, signed
// log-magnitudes and pairwise products of the standardised columns.
#include "resmon/feature_kernel.hpp"
#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"
#include "runtime/classes.hpp"

namespace tarvex::resmon {

namespace {

// _pairwise_products(x): one column x[:, i] * x[:, j] per pair i < j.
py::object pairwise_products(const Call& call) {
    py::object np = call.global("np");
    py::handle x = call.arg("x");
    py::object shape = x.attr("shape");
    const Py_ssize_t columns = py::cast<Py_ssize_t>(shape[py::int_(1)]);
    py::list feats;
    for (Py_ssize_t i = 0; i < columns; ++i) {
        py::object column_i = x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)];
        for (Py_ssize_t j = i + 1; j < columns; ++j) {
            py::object column_j = x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            feats.append(column_i * column_j);
        }
    }
    if (feats.empty()) return np.attr("zeros")(py::make_tuple(shape[py::int_(0)], 0), py::arg("dtype") = float32(call));
    return np.attr("stack")(feats, py::arg("axis") = 1).attr("astype")(float32(call));
}

const rt::FunctionDefinition kPairwiseProducts{
    .name = "_pairwise_products",
    .params = {{"x", "np.ndarray"}},
    .returns = "np.ndarray",
    .body = pairwise_products,
};

// fit(self, x): learns the per-column mean and population scale (+1e-6).
// Statistics are assigned only once both are known to be usable.
py::object fit(const Call& call) {
    py::handle self = call.self();
    py::object x = float32_matrix(call, call.arg("x"), "x");
    py::object mean = x.attr("mean")(py::arg("axis") = 0);
    py::object scale = x.attr("std")(py::arg("axis") = 0) + py::float_(1e-6);
    require_finite_statistics(call, x, mean, scale, "S");
    self.attr("mean_") = mean;
    self.attr("scale_") = scale;
    return py::reinterpret_borrow<py::object>(self);
}

void require_fitted(py::handle self) {
    if (self.attr("mean_").is_none() || self.attr("scale_").is_none())
        rt::throw_python_error(PyExc_RuntimeError, "Feature engineer not fit");
}

// The engineered matrix built from whole-array NumPy operations: the general
// path, used whenever the native kernel cannot reproduce it exactly.
py::object compose_with_numpy(const Call& call, py::handle self, py::handle x) {
    py::object np = call.global("np");
    py::object base = (x - self.attr("mean_")) / self.attr("scale_");
    py::list parts;
    parts.append(base);
    if (is_truthy(self.attr("include_square"))) parts.append(power(base, py::int_(2)));
    if (is_truthy(self.attr("include_logabs")))
        parts.append(np.attr("sign")(base) * np.attr("log1p")(np.attr("abs")(base)));
    if (is_truthy(self.attr("include_interactions"))) parts.append(call.global("_pairwise_products")(base));
    return np.attr("concatenate")(parts, py::arg("axis") = 1).attr("astype")(float32(call));
}

// Statistics of another width would broadcast against x: one column would be
// standardised by every column's statistics, silently.
void require_fitted_width(const Call& call, py::handle self, py::handle x) {
    for (const char* name : {"mean_", "scale_"})
        if (std::optional<Py_ssize_t> width = vector_length(call, self.attr(name))) require_width(x, "x", *width);
}

// transform(self, x): [base | base**2 | sign(base)*log1p(|base|) | pairs].
py::object transform(const Call& call) {
    py::handle self = call.self();
    require_fitted(self);
    py::object x = float32_matrix(call, call.arg("x"), "x");
    require_fitted_width(call, self, x);
    if (py::object engineered = engineer_natively(call, self, x)) return engineered;
    return compose_with_numpy(call, self, x);
}

py::object fit_transform(const Call& call) {
    py::object fitted = call.self().attr("fit")(call.arg("x"));
    return fitted.attr("transform")(call.arg("x"));
}

py::object statistic_as_list(py::handle statistic) {
    return statistic.is_none() ? py::object(py::none()) : statistic.attr("tolist")();
}

py::object to_dict(const Call& call) {
    py::handle self = call.self();
    py::dict d;
    d["include_square"] = self.attr("include_square");
    d["include_logabs"] = self.attr("include_logabs");
    d["include_interactions"] = self.attr("include_interactions");
    d["mean"] = statistic_as_list(self.attr("mean_"));
    d["scale"] = statistic_as_list(self.attr("scale_"));
    return d;
}

py::object flag_from(py::handle d, const char* key) {
    return py::bool_(is_truthy(d.attr("get")(key, true)));
}

py::object from_dict(const Call& call) {
    py::handle d = call.arg("d");
    py::object engineer = call.global("NeuralFeatureEngineer")(
        py::arg("include_square") = flag_from(d, "include_square"),
        py::arg("include_logabs") = flag_from(d, "include_logabs"),
        py::arg("include_interactions") = flag_from(d, "include_interactions"));
    py::object np = call.global("np");
    if (!d.attr("get")("mean").is_none())
        engineer.attr("mean_") = np.attr("asarray")(d["mean"], py::arg("dtype") = np.attr("float32"));
    if (!d.attr("get")("scale").is_none())
        engineer.attr("scale_") = np.attr("asarray")(d["scale"], py::arg("dtype") = np.attr("float32"));
    return engineer;
}

const rt::MethodTable kEngineerMethods{
    "NeuralFeatureEngineer",
    {
        {.name = "fit", .params = {{"self"}, {"x", "np.ndarray"}}, .returns = "'NeuralFeatureEngineer'", .body = fit},
        {.name = "transform", .params = {{"self"}, {"x", "np.ndarray"}}, .returns = "np.ndarray", .body = transform},
        {.name = "fit_transform", .params = {{"self"}, {"x", "np.ndarray"}}, .returns = "np.ndarray",
         .body = fit_transform},
        {.name = "to_dict", .params = {{"self"}}, .returns = "Dict[str, Any]", .body = to_dict},
        {.name = "from_dict", .params = {{"d", "Dict[str, Any]"}}, .returns = "'NeuralFeatureEngineer'",
         .body = from_dict, .binding = rt::Binding::Static},
    },
};

}  // namespace

py::object define_pairwise_products(py::module_ module) { return rt::make_function(kPairwiseProducts, module); }

py::object define_feature_engineer(py::module_ module) {
    py::object cls = rt::create_class("NeuralFeatureEngineer", module, py::tuple(), [&](py::object& ns) {
        py::dict annotations;
        annotations["include_square"] = "bool";
        annotations["include_logabs"] = "bool";
        annotations["include_interactions"] = "bool";
        annotations["mean_"] = "np.ndarray | None";
        annotations["scale_"] = "np.ndarray | None";
        ns["__annotations__"] = annotations;
        ns["include_square"] = true;
        ns["include_logabs"] = true;
        ns["include_interactions"] = true;
        ns["mean_"] = py::none();
        ns["scale_"] = py::none();
        rt::add_methods(ns, kEngineerMethods, module);
    });
    return module.attr("dataclass")(cls);
}

}  // namespace tarvex::resmon
