// Small Python-object operations with C++ error handling: each raises the
// pending Python error as py::error_already_set when the C API call fails.
#pragma once

#include <limits>

#include "runtime/python.hpp"

namespace tarvex::rt {

// Takes ownership of a new reference returned by the C API.
inline py::object steal_or_throw(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// Sets the pending Python error and throws it as a C++ exception.
[[noreturn]] inline void throw_python_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

// The value of an index-like object (operator.index), as range() reads it.
// Counts beyond the range of long long saturate: no loop here can run that
// far anyway, and no allocation can be that large.
inline long long saturating_index(py::handle value) {
    py::object index = steal_or_throw(PyNumber_Index(value.ptr()));
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) return overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    return result;
}

// getattr(object, name), or an empty object when the attribute does not exist.
inline py::object attribute_or_empty(py::handle object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// bool(value)
inline bool is_truthy(py::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

// a == b, by its truth value
inline bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// a != b, by the truth value of whatever the comparison returns
inline bool differs(py::handle a, py::handle b) {
    return is_truthy(steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// int(value): always an exact int (an exact int comes back as itself)
inline py::object python_int(py::handle value) { return steal_or_throw(PyNumber_Long(value.ptr())); }

// float(value): always an exact float
inline py::object python_float(py::handle value) { return steal_or_throw(PyNumber_Float(value.ptr())); }

// base ** exponent
inline py::object power(py::handle base, py::handle exponent) {
    return steal_or_throw(PyNumber_Power(base.ptr(), exponent.ptr(), Py_None));
}

// mapping[key]
inline py::object item(py::handle mapping, const char* key) {
    return steal_or_throw(PyObject_GetItem(mapping.ptr(), py::str(key).ptr()));
}

}  // namespace tarvex::rt
