#include "runtime/arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tarvex::rt {

namespace {

bool is(const char* annotation, const char* text) { return std::strcmp(annotation, text) == 0; }

struct ExactType {
    PyTypeObject* type;
    const char* expected;
};

ExactType exact_type_for(Conversion conversion) {
    switch (conversion) {
        case Conversion::ExactStr: return {&PyUnicode_Type, "str"};
        case Conversion::ExactTuple: return {&PyTuple_Type, "tuple"};
        case Conversion::ExactDict: return {&PyDict_Type, "dict"};
        default: return {nullptr, nullptr};
    }
}

// Attaches a note (shown under the traceback) to the pending exception.
void add_note_to_pending_error(const char* note) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        py::object result = py::reinterpret_steal<py::object>(PyObject_CallMethod(value, "add_note", "s", note));
        if (!result) PyErr_Clear();  // the original error matters more
    }
    PyErr_Restore(type, value, traceback);
}

std::string quoted_names(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

}  // namespace

namespace {

struct AnnotationRule {
    const char* text;
    Conversion conversion;
};

constexpr AnnotationRule kAnnotationRules[] = {
    {"int", Conversion::Int},
    {"float", Conversion::Float},
    {"str", Conversion::ExactStr},
    {"Tuple[int, ...]", Conversion::ExactTuple},
    {"Dict[str, Any]", Conversion::ExactDict},
    {"np.ndarray", Conversion::None},
    {"torch.Tensor", Conversion::None},
};

}  // namespace

std::optional<Conversion> conversion_for(const char* annotation) {
    if (annotation == nullptr) return Conversion::None;
    for (const AnnotationRule& rule : kAnnotationRules)
        if (is(annotation, rule.text)) return rule.conversion;
    return std::nullopt;
}

void require_known_annotations(const char* qualname, std::span<const Param> params) {
    for (const Param& param : params) {
        if (conversion_for(param.annotation)) continue;
        std::string message = std::string(qualname) + "(): parameter '" + param.name +
                              "' has an annotation the argument conventions do not know: '" + param.annotation + "'";
        throw_python_error(PyExc_SystemError, message.c_str());
    }
}

void throw_incorrect_type(const char* name, const char* expected, py::handle value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

py::object to_int_argument(const char* name, py::handle value) {
    if (PyLong_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (!PyNumber_Check(value.ptr())) throw_incorrect_type(name, "int", value);
    return steal_or_throw(PyNumber_Long(value.ptr()));
}

py::object to_float_argument(py::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return steal_or_throw(PyFloat_FromDouble(number));
}

void require_exact_type(const char* name, PyTypeObject* type, const char* expected, py::handle value) {
    if (Py_IS_TYPE(value.ptr(), type)) return;
    bool subclass = PyObject_TypeCheck(value.ptr(), type);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value.ptr())->tp_name);
    if (subclass) add_note_to_pending_error("subclasses of built-in types are rejected; pass an exact instance");
    throw py::error_already_set();
}

void apply_conversions(std::span<const Param> params, std::span<const Conversion> conversions,
                       std::span<py::object> values) {
    for (size_t i = 0; i < params.size(); ++i) {
        switch (conversions[i]) {
            case Conversion::Int: values[i] = to_int_argument(params[i].name, values[i]); break;
            case Conversion::Float: values[i] = to_float_argument(values[i]); break;
            default: break;
        }
    }
    for (size_t i = 0; i < params.size(); ++i) {
        ExactType exact = exact_type_for(conversions[i]);
        if (exact.type != nullptr) require_exact_type(params[i].name, exact.type, exact.expected, values[i]);
    }
}

void throw_too_many_positional(std::string_view qualname, size_t params, size_t defaults, size_t given) {
    std::string takes = defaults > 0
                            ? "from " + std::to_string(params - defaults) + " to " + std::to_string(params)
                            : std::to_string(params);
    bool plural = defaults > 0 || params != 1;
    std::string message = std::string(qualname) + "() takes " + takes + " positional argument" +
                          (plural ? "s" : "") + " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                          " given";
    throw_python_error(PyExc_TypeError, message.c_str());
}

void throw_missing_arguments(std::string_view qualname, std::span<const Param> params,
                             std::span<const py::object> values) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < params.size(); ++i)
        if (!values[i]) missing.push_back(params[i].name);
    std::string message = std::string(qualname) + "() missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                          quoted_names(missing);
    throw_python_error(PyExc_TypeError, message.c_str());
}

void throw_unexpected_keyword(std::string_view qualname, py::handle keyword) {
    std::string message =
        std::string(qualname) + "() got an unexpected keyword argument '" + py::str(keyword).cast<std::string>() + "'";
    throw_python_error(PyExc_TypeError, message.c_str());
}

void throw_multiple_values(std::string_view qualname, const char* name) {
    std::string message = std::string(qualname) + "() got multiple values for argument '" + name + "'";
    throw_python_error(PyExc_TypeError, message.c_str());
}

}  // namespace tarvex::rt
