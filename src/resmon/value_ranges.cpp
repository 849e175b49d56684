// The ranges in which the monitor's scaling values keep it able to alarm.
// Scores are quadratic forms of float32 residuals: a scale or an eigenvalue
// of inv_cov below float32's normal range shrinks every score towards zero,
// and a threshold above the largest score a finite float32 residual can
// produce is never crossed. Loading and training check the same ranges, so
// that whatever training produces also loads.
#include <cstdio>
#include <limits>

#include "resmon/resmon.hpp"
#include "runtime/arguments.hpp"

namespace tarvex::resmon {

namespace {

constexpr double kSmallestNormal = std::numeric_limits<float>::min();
constexpr double kLargestFloat32 = std::numeric_limits<float>::max();

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.8g", value);
    return text;
}

std::string normal_range_text() {
    return "float32's normal range [" + number_text(kSmallestNormal) + ", " + number_text(kLargestFloat32) + "]";
}

double as_double(py::handle value) { return py::cast<double>(python_float(value)); }

bool all_finite(py::handle np, py::handle array) { return is_truthy(np.attr("isfinite")(array).attr("all")()); }

// Ascending eigenvalues of the symmetric part, the only part a quadratic form
// sees; halves are added so that finite entries cannot overflow.
py::object symmetric_eigenvalues(py::handle np, py::handle matrix) {
    py::object half = py::float_(0.5);
    py::object transposed = matrix.attr("T");
    py::object symmetric = matrix * half + transposed * half;
    return np.attr("linalg").attr("eigvalsh")(symmetric);
}

}  // namespace

std::optional<std::string> scale_problem(const Call& call, py::handle scale, const std::string& name) {
    py::object np = call.global("np");
    py::object values = np.attr("asarray")(scale, py::arg("dtype") = np.attr("float64"));
    py::object in_range = np.attr("logical_and")(np.attr("greater_equal")(values, kSmallestNormal),
                                                 np.attr("less_equal")(values, kLargestFloat32));
    if (is_truthy(in_range.attr("all")())) return std::nullopt;
    py::object outside = values[np.attr("logical_not")(in_range)];
    return name + " must hold values within " + normal_range_text() + "; got " +
           number_text(as_double(outside[py::int_(0)]));
}

InverseCovariance examine_inverse_covariance(const Call& call, py::handle inv_cov) {
    static const std::string not_definite = "inv_cov must be a finite positive-definite matrix";
    py::object np = call.global("np");
    py::object matrix = np.attr("asarray")(inv_cov, py::arg("dtype") = np.attr("float64"));
    if (!all_finite(np, matrix)) return {not_definite, 0.0};
    if (py::len(matrix) == 0) return {std::nullopt, 0.0};
    py::object eigenvalues;
    try {
        eigenvalues = symmetric_eigenvalues(np, matrix);
    } catch (py::error_already_set& error) {
        if (!error.matches(np.attr("linalg").attr("LinAlgError"))) throw;
        return {not_definite, 0.0};
    }
    const double smallest = as_double(eigenvalues[py::int_(0)]);
    const double largest = as_double(eigenvalues[py::int_(-1)]);
    if (!(smallest > 0)) return {not_definite, 0.0};
    if (smallest < kSmallestNormal || !(largest <= kLargestFloat32))
        return {"the eigenvalues of inv_cov must lie within " + normal_range_text() + "; got " +
                    number_text(smallest) + " to " + number_text(largest),
                largest};
    return {std::nullopt, largest};
}

double largest_reachable_score(Py_ssize_t z_dim, std::optional<double> largest_eigenvalue) {
    // |r|^2 <= z_dim * FLT_MAX^2 for a finite float32 residual r, and
    // r . A r <= (largest eigenvalue of A's symmetric part) * |r|^2.
    const double eigenvalue = largest_eigenvalue.value_or(kLargestFloat32);
    return static_cast<double>(z_dim) * kLargestFloat32 * kLargestFloat32 * eigenvalue;
}

std::string unreachable_threshold_text(double tau, double bound) {
    return "tau " + number_text(tau) + " is at or beyond the largest score a finite float32 residual can reach (" +
           number_text(bound) + "), so the monitor could never alarm";
}

}  // namespace tarvex::resmon
