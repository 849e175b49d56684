// Argument conventions shared by every callable of both modules.
//
// A parameter's annotation text decides what happens to its value before the
// body runs: "int" and "float" parameters are converted, "str", "tuple" and
// "dict" style parameters must be exactly of that built-in type, and the
// array types ("np.ndarray", "torch.Tensor") or no annotation pass the value
// through as is. Any other annotation text is refused when the function is
// made, so a misspelt annotation cannot silently drop a check.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "runtime/objects.hpp"
#include "runtime/python.hpp"

namespace tarvex::rt {

enum class Conversion { None, Int, Float, ExactStr, ExactTuple, ExactDict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // nullptr: no annotation
};

// The conversion a parameter annotation selects; nullopt for annotation text
// the conventions do not know.
std::optional<Conversion> conversion_for(const char* annotation);

// Raises SystemError, naming the function and parameter, when any parameter
// annotation is unknown.
void require_known_annotations(const char* qualname, std::span<const Param> params);

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void throw_incorrect_type(const char* name, const char* expected, py::handle value);

// An exact int is returned unchanged; any other number becomes int(value).
py::object to_int_argument(const char* name, py::handle value);

// The host's float conversion; the conversion's own error propagates.
py::object to_float_argument(py::handle value);

// Rejects anything whose type is not exactly `type` (subclasses included).
void require_exact_type(const char* name, PyTypeObject* type, const char* expected, py::handle value);

// Converts and checks bound arguments in place: first every "int" and "float"
// parameter in order, then every exact-type test in order. `conversions`
// holds each parameter's conversion, as conversion_for selected it.
void apply_conversions(std::span<const Param> params, std::span<const Conversion> conversions,
                       std::span<py::object> values);

// Binding failures, worded as the interpreter words them for Python functions.
[[noreturn]] void throw_too_many_positional(std::string_view qualname, size_t params, size_t defaults,
                                            size_t given);
[[noreturn]] void throw_missing_arguments(std::string_view qualname, std::span<const Param> params,
                                          std::span<const py::object> values);
[[noreturn]] void throw_unexpected_keyword(std::string_view qualname, py::handle keyword);
[[noreturn]] void throw_multiple_values(std::string_view qualname, const char* name);

}  // namespace tarvex::rt
