// Common include for every translation unit of the project: the CPython API
// and pybind11's object layer (used for its RAII handles and call syntax only;
// no pybind11 module or class machinery is involved).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;
