// Training: fit the engineer, standardise Z, train the residual network with
// early stopping, then calibrate the inverse residual covariance and tau.
#include <algorithm>
#include <limits>
#include <string>

#include "resmon/network_forward.hpp"
#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"
#include "runtime/context.hpp"
#include "runtime/torch_threads.hpp"

namespace tarvex::resmon {

namespace {

constexpr double kImprovementMargin = 1e-5;
constexpr double kMaxGradientNorm = 5.0;

long long rows_of(py::handle tensor) { return rt::saturating_index(tensor.attr("shape")[py::int_(0)]); }

// Everything one training run works with.
struct Training {
    py::object torch;
    py::handle self;
    py::object model;
    py::object parameters;  // list(model.parameters()), for gradient clipping
    py::object optimizer;
    py::object x_tensor;
    py::object z_tensor;
    py::object device;
    bool on_cpu = true;
};

// Stores the engineer, z_mean and z_scale; returns (S_eng, Z_norm).
std::pair<py::object, py::object> prepare_data(const Call& call, py::handle self, py::handle S, py::handle Z) {
    self.attr("s_dim") = python_int(S.attr("shape")[py::int_(1)]);
    self.attr("z_dim") = python_int(Z.attr("shape")[py::int_(1)]);
    py::object S_eng = self.attr("s_engineer").attr("fit_transform")(S);
    self.attr("input_dim") = python_int(S_eng.attr("shape")[py::int_(1)]);
    py::object z_mean = Z.attr("mean")(py::arg("axis") = 0).attr("astype")(float32(call));
    py::object z_scale = (Z.attr("std")(py::arg("axis") = 0) + py::float_(1e-6)).attr("astype")(float32(call));
    require_finite_statistics(call, Z, z_mean, z_scale, "Z");
    self.attr("z_mean") = z_mean;
    self.attr("z_scale") = z_scale;
    py::object Z_norm = ((Z - z_mean) / z_scale).attr("astype")(float32(call));
    return {S_eng, Z_norm};
}

// AdamW, updating all parameters in one fused kernel where this PyTorch has
// one for the device (CUDA, and the CPU from PyTorch 2.4 on): on the CPU the
// per-tensor update takes about a quarter of a small network's training
// time. Versions without it refuse fused=True when the optimiser is built,
// with a RuntimeError; the per-tensor AdamW then does the same update.
py::object make_optimizer(py::handle torch, py::handle model, py::handle self) {
    py::object adamw = torch.attr("optim").attr("AdamW");
    try {
        return adamw(model.attr("parameters")(), py::arg("lr") = self.attr("lr"),
                     py::arg("weight_decay") = self.attr("weight_decay"), py::arg("fused") = true);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_RuntimeError) && !error.matches(PyExc_TypeError)) throw;
    }
    return adamw(model.attr("parameters")(), py::arg("lr") = self.attr("lr"),
                 py::arg("weight_decay") = self.attr("weight_decay"));
}

// `device` is held by the caller for the whole fit: building the network runs
// Python code that may replace the monitor's device (set_device from another
// thread, or from a width's __index__).
Training build_training(const Call& call, py::handle self, py::handle S_eng, py::handle Z_norm, py::handle device) {
    Training t{call.global("torch"), self, {}, {}, {}, {}, {}, py::reinterpret_borrow<py::object>(device)};
    t.on_cpu = equals(device.attr("type"), py::str("cpu"));
    t.model = call.global("_ResidualHead")(self.attr("input_dim"), self.attr("hidden"), self.attr("z_dim"),
                                           self.attr("dropout"));
    t.model.attr("to")(device);
    // The network's parameters stay the same objects for the whole run; the
    // list spares walking the modules again for every batch.
    t.parameters = py::list(t.model.attr("parameters")());
    t.optimizer = make_optimizer(t.torch, t.model, self);
    t.x_tensor = t.torch.attr("from_numpy")(S_eng).attr("to")(device);
    t.z_tensor = t.torch.attr("from_numpy")(Z_norm).attr("to")(device);
    return t;
}

// The network's (mu, log_var) for a training batch: evaluated on the
// parameters when calling the module would do nothing more (no hooks, nothing
// replaced), which spares the module-call machinery on every batch.
std::pair<py::object, py::object> training_forward(const Call& call, Training& t, py::object xb) {
    if (std::optional<NetworkPlan> plan = NetworkPlan::of(t.model, true))
        return plan->mean_and_log_var(call, std::move(xb));
    py::tuple outputs = py::tuple(t.model(xb));
    return {outputs[0], outputs[1]};
}

// The sum of an epoch's batch losses, as the double sum of loss.item().
// On the CPU each loss is read at once. On an accelerator, reading a loss
// waits for the device to finish the batch; there the losses are added up
// in a float64 tensor on the device instead, one IEEE double addition per
// batch in the same order (the same bits), and read once per epoch.
class EpochLoss {
public:
    explicit EpochLoss(const Training& t) {
        if (!t.on_cpu)
            total_ = t.torch.attr("zeros")(py::tuple(), py::arg("dtype") = t.torch.attr("float64"),
                                           py::arg("device") = t.device);
    }

    void add(py::handle loss) {
        if (total_)
            total_.attr("add_")(loss.attr("detach")());
        else
            sum_ += py::cast<double>(loss.attr("item")());
    }

    double value() const { return total_ ? py::cast<double>(total_.attr("item")()) : sum_; }

private:
    double sum_ = 0.0;
    py::object total_;
};

// One optimisation step on the rows `idx`; adds the batch loss to `epoch_loss`.
void train_batch(const Call& call, Training& t, py::handle idx, EpochLoss& epoch_loss) {
    py::object xb = t.x_tensor[idx];
    py::object zb = t.z_tensor[idx];
    t.optimizer.attr("zero_grad")(py::arg("set_to_none") = true);
    auto [mu, log_var] = training_forward(call, t, std::move(xb));
    // Gaussian negative log-likelihood with per-element variance (no 1/2, no constant).
    py::object error = power(zb - mu, py::int_(2));
    py::object loss = (error * t.torch.attr("exp")(-log_var) + log_var).attr("mean")();
    loss.attr("backward")();
    t.torch.attr("nn").attr("utils").attr("clip_grad_norm_")(t.parameters, py::arg("max_norm") = kMaxGradientNorm);
    t.optimizer.attr("step")();
    epoch_loss.add(loss);
}

// One pass over a fresh permutation of the rows; returns the mean batch loss.
double train_epoch(const Call& call, Training& t) {
    const long long rows = rows_of(t.x_tensor);
    const long long batch_size = rt::saturating_index(t.self.attr("batch_size"));
    if (batch_size <= 0) rt::throw_python_error(PyExc_ValueError, "batch_size must be a positive integer");
    // Drawn on the CPU as always, then moved to the training tensors' device
    // once per epoch (a no-op on the CPU): indexing a device tensor with a
    // host index would copy the index over, and wait, for every batch.
    py::object permutation = t.torch.attr("randperm")(t.x_tensor.attr("shape")[py::int_(0)]).attr("to")(t.device);
    EpochLoss epoch_loss(t);
    long long batches = 0;
    for (long long start = 0; start < rows; start += batch_size) {
        py::object idx = permutation[py::slice(py::int_(start), py::int_(start + batch_size), py::none())];
        train_batch(call, t, idx, epoch_loss);
        batches += 1;
    }
    return epoch_loss.value() / static_cast<double>(std::max(1LL, batches));
}

py::dict detached_cpu_copy(py::handle model) {
    py::dict copy;
    for (auto item : model.attr("state_dict")().attr("items")())
        copy[item[py::int_(0)]] = item[py::int_(1)].attr("detach")().attr("cpu")().attr("clone")();
    return copy;
}

// Trains until `epochs` run out or `patience` epochs in a row fail to improve
// the mean loss by more than the margin; returns the best epoch's weights.
py::object run_epochs(const Call& call, Training& t) {
    py::object best_state = py::none();
    double best_loss = std::numeric_limits<double>::infinity();
    long long stagnant = 0;
    const long long epochs = rt::saturating_index(t.self.attr("epochs"));
    for (long long epoch = 0; epoch < epochs; ++epoch) {
        const double mean_loss = train_epoch(call, t);
        if (mean_loss + kImprovementMargin < best_loss) {
            best_loss = mean_loss;
            stagnant = 0;
            best_state = detached_cpu_copy(t.model);
            continue;
        }
        stagnant += 1;
        if (py::int_(stagnant) >= t.self.attr("patience")) break;
    }
    return best_state;
}

// The epoch loop, run with one intra-op thread on CPU devices.
py::object train_with_thread_limit(const Call& call, Training& t) {
    if (!t.on_cpu) return run_epochs(call, t);
    rt::SingleIntraOpThread limit(t.torch);
    return run_epochs(call, t);
}

[[noreturn]] void throw_degenerate_covariance(const std::string& what) {
    rt::throw_python_error(PyExc_ValueError,
                           ("fit cannot calibrate: the covariance of the training residuals is degenerate (" + what +
                            "); fit on more rows that differ from each other")
                               .c_str());
}

// Inverse Ledoit-Wolf covariance of the training residuals, in the ranges a
// loaded monitor must satisfy too: a fit whose inverse could not be loaded
// back could not alarm either.
py::object inverse_residual_covariance(const Call& call, Training& t, py::handle Z_norm) {
    py::object mu_pred = rt::with_context(t.torch.attr("no_grad")(), [&]() -> py::object {
        std::optional<NetworkPlan> plan = NetworkPlan::of(t.model, false);
        if (plan && plan->log_var_cannot_fail()) return plan->mean(t.x_tensor);
        py::tuple outputs(t.model(t.x_tensor));
        return outputs[0];
    });
    py::object residuals = Z_norm - mu_pred.attr("cpu")().attr("numpy")();
    py::object ledoit_wolf = py::module_::import("sklearn.covariance").attr("LedoitWolf");
    py::object cov = ledoit_wolf().attr("fit")(residuals).attr("covariance_");
    py::object linalg = call.global("np").attr("linalg");
    py::object inverse;
    try {
        inverse = linalg.attr("inv")(cov);
    } catch (py::error_already_set& error) {
        if (!error.matches(linalg.attr("LinAlgError"))) throw;
        throw_degenerate_covariance("it is singular");
    }
    if (std::optional<std::string> problem = examine_inverse_covariance(call, inverse).problem)
        throw_degenerate_covariance(*problem);
    return inverse;
}

// A refit starts by dropping the trained state, so that a refit that fails
// or is interrupted leaves a monitor that refuses to score or export, never
// new statistics mixed with the old network, covariance and threshold.
void forget_trained_state(py::handle self) {
    for (const char* name : {"_model", "inv_cov", "tau"}) self.attr(name) = py::none();
}

// Every hidden width must make a layer: a zero-width layer would cut the
// network off from S, and PyTorch refuses negative or non-integer widths
// only once the trained state is gone.
void require_buildable_widths(py::handle hidden) {
    if (!PyTuple_CheckExact(hidden.ptr())) return;  // refused by the network's constructor
    for (py::handle width : hidden) {
        py::object index = PyBool_Check(width.ptr()) ? py::object()
                                                      : py::reinterpret_steal<py::object>(PyNumber_Index(width.ptr()));
        if (!index) {
            // An __index__ that fails other than by not being there speaks for itself.
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "hidden widths must be integers, not %.200s", Py_TYPE(width.ptr())->tp_name);
            throw py::error_already_set();
        }
        if (PyObject_RichCompareBool(index.ptr(), py::int_(1).ptr(), Py_LT) == 1) {
            py::object text = py::repr(hidden);
            PyErr_Format(PyExc_ValueError, "hidden widths must be at least 1; got hidden=%U", text.ptr());
            throw py::error_already_set();
        }
    }
}

// Rows of (S, Z) that differ from row `row` in S or in Z.
py::object rows_differing_from(py::handle np, py::handle S, py::handle Z, py::handle row) {
    auto differs = [&](py::handle data) {
        return np.attr("not_equal")(data, data[row]).attr("any")(py::arg("axis") = 1);
    };
    return np.attr("logical_or")(differs(S), differs(Z));
}

// The residual covariance needs residuals that vary: at least two distinct
// rows for one Z column, three for more (two rows span a single direction,
// which Ledoit-Wolf does not shrink away). Counted up to what is needed, so
// this is two vectorised passes at most.
void require_distinct_rows(const Call& call, py::handle S, py::handle Z) {
    py::object np = call.global("np");
    const Py_ssize_t rows = py::len(S);
    const Py_ssize_t needed = py::cast<Py_ssize_t>(Z.attr("shape")[py::int_(1)]) <= 1 ? 2 : 3;
    Py_ssize_t distinct = 1;
    py::object from_first = rows_differing_from(np, S, Z, py::int_(0));
    if (is_truthy(from_first.attr("any")())) {
        distinct = 2;
        py::object second = np.attr("argmax")(from_first);
        py::object from_both = np.attr("logical_and")(from_first, rows_differing_from(np, S, Z, second));
        if (needed > 2 && is_truthy(from_both.attr("any")())) distinct = 3;
    }
    if (distinct >= needed) return;
    std::string got = rows == 1 ? "got 1 row"
                      : distinct == 1 ? "got " + std::to_string(rows) + " rows, all identical"
                                      : "got only 2 distinct rows among " + std::to_string(rows);
    const std::string message = "fit needs at least " + std::to_string(needed) +
                                " distinct rows of S and Z to estimate the residual covariance (2 for a single Z "
                                "column, 3 for more); " + got;
    rt::throw_python_error(PyExc_ValueError, message.c_str());
}

py::object fit(const Call& call) {
    py::handle self = call.self();
    py::object S = float32_matrix(call, call[1], "S");
    py::object Z = float32_matrix(call, call[2], "Z");
    require_paired_rows(S, Z);
    if (py::len(S) == 0) rt::throw_python_error(PyExc_ValueError, "fit needs at least one row of S and Z");
    require_distinct_rows(call, S, Z);
    py::object hidden = self.attr("hidden");
    require_buildable_widths(hidden);
    forget_trained_state(self);

    py::object torch = call.global("torch");
    py::object np = call.global("np");
    torch.attr("manual_seed")(self.attr("random_state"));
    np.attr("random").attr("seed")(self.attr("random_state"));
    auto [S_eng, Z_norm] = prepare_data(call, self, S, Z);

    py::object device = self.attr("_torch_device");
    Training t = build_training(call, self, S_eng, Z_norm, device);
    py::object best_state = train_with_thread_limit(call, t);
    if (best_state.is_none()) rt::throw_python_error(PyExc_RuntimeError, "Neural monitor failed to train");
    t.model.attr("load_state_dict")(best_state);
    t.model.attr("eval")();
    // The network is kept only once its residuals calibrate.
    py::object inv_cov = inverse_residual_covariance(call, t, Z_norm);
    self.attr("_model") = t.model;
    self.attr("inv_cov") = inv_cov;
    py::object scores = self.attr("score_batch")(S, Z);
    self.attr("tau") = python_float(np.attr("quantile")(scores, self.attr("tau_quantile")));
    return scores;
}

const rt::MethodTable kTrainingMethods{
    "NeuralConditionalMonitor",
    {{.name = "fit", .params = {{"self"}, {"S", "np.ndarray"}, {"Z", "np.ndarray"}}, .body = fit}},
};

}  // namespace

void add_training_methods(py::object& ns, py::module_ module) { rt::add_methods(ns, kTrainingMethods, module); }

}  // namespace tarvex::resmon
