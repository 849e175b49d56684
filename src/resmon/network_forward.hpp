// The residual network evaluated directly on its parameters, where that is
// observably the same as calling it (network_forward.cpp).
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "resmon/resmon.hpp"

namespace tarvex::resmon {

// Records PyTorch's classes and functions as the module body finds them, and
// _ResidualHead with its forward; called once, when the class is defined.
void remember_network_originals(py::module_ module, py::handle head_class, py::handle head_forward);

// Whether `device` is exactly torch.device("cpu"), to which moving a CPU
// tensor hands back the tensor itself, with no mode active that could see
// the call being left out.
bool is_plain_cpu_device(py::handle device);

// Gradient tracking switched off for the holder's lifetime and then set back
// to what it was: what torch.no_grad() does, without its Python frames.
class GradDisabled {
public:
    GradDisabled();
    GradDisabled(const GradDisabled&) = delete;
    GradDisabled& operator=(const GradDisabled&) = delete;
    ~GradDisabled();

private:
    py::object previous_;
};

// The layers of one _ResidualHead with the parameters they would use.
class NetworkPlan {
public:
    struct Linear {
        py::object weight, bias;
    };
    struct Step {
        enum class Kind { linear, relu, dropout } kind;
        Linear linear;
        bool inplace = false;
        py::object p;  // dropout probability, as stored
    };

    // The plan for `model` when calling it would only run forward, with
    // every module in `training` mode; nullopt when it must be called.
    static std::optional<NetworkPlan> of(py::handle model, bool training);

    // Whether the log_var head, which `mean` skips, could not have failed
    // where mu succeeds (same shapes, dtypes and devices as mu's).
    bool log_var_cannot_fail() const;

    // mu for the rows of x: forward's first result. Fresh activations are
    // rectified in place, and x is released after the first layer unless
    // the caller keeps it.
    py::object mean(py::object x) const;

    // (mu, log_var) exactly as forward computes them.
    std::pair<py::object, py::object> mean_and_log_var(const Call& call, py::object x) const;

    NetworkPlan();
    NetworkPlan(NetworkPlan&&) noexcept;
    NetworkPlan& operator=(NetworkPlan&&) noexcept;
    ~NetworkPlan();

private:
    static py::object linear(const Linear& layer, py::handle input);
    py::object backbone(py::object x, bool rectify_in_place) const;

    bool training_ = false;
    std::vector<Step> steps_;
    Linear mu_, log_var_;
};

}  // namespace tarvex::resmon
