// The monitor's constructor settings: one table, in signature order, that the
// constructor and the loader of monitor dictionaries both read.
#pragma once

#include "resmon/resmon.hpp"

namespace tarvex::resmon {

struct MonitorSetting {
    enum class Kind { Widths, Int, Float, Text };
    const char* name;
    Kind kind;
};

inline constexpr MonitorSetting kMonitorSettings[] = {
    {"hidden", MonitorSetting::Kind::Widths},   {"epochs", MonitorSetting::Kind::Int},
    {"batch_size", MonitorSetting::Kind::Int},  {"lr", MonitorSetting::Kind::Float},
    {"weight_decay", MonitorSetting::Kind::Float}, {"dropout", MonitorSetting::Kind::Float},
    {"tau_quantile", MonitorSetting::Kind::Float}, {"random_state", MonitorSetting::Kind::Int},
    {"patience", MonitorSetting::Kind::Int},    {"device", MonitorSetting::Kind::Text},
};

// The constructor's defaults, in the order of kMonitorSettings.
inline py::tuple monitor_setting_defaults() {
    return py::make_tuple(py::make_tuple(64, 64), 120, 64, 0.001, 0.0001, 0.05, 0.995, 0, 20, "cpu");
}

}  // namespace tarvex::resmon
