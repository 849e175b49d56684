// `with manager: body` for C++ code.
#pragma once

#include <utility>

#include "runtime/python.hpp"

namespace tarvex::rt {

inline py::object or_none(const py::object& value) { return value ? value : py::none(); }

// Enters `manager`, runs `body` and exits the manager on every path: with the
// exception's type, value and traceback when `body` raised, which is then
// re-raised (the managers used here never suppress exceptions).
template <class Body>
auto with_context(py::object manager, Body&& body) -> decltype(body()) {
    py::object exit = manager.attr("__exit__");
    manager.attr("__enter__")();
    try {
        auto result = body();
        exit(py::none(), py::none(), py::none());
        return result;
    } catch (py::error_already_set& error) {
        exit(or_none(error.type()), or_none(error.value()), or_none(error.trace()));
        throw;
    } catch (...) {
        exit(py::none(), py::none(), py::none());
        throw;
    }
}

}  // namespace tarvex::rt
