#include "runtime/lifecycle.hpp"

#include <string>

#include "runtime/arguments.hpp"
#include "runtime/function.hpp"
#include "runtime/guard.hpp"

namespace tarvex::rt {

namespace {

void copy_from_module_spec(py::module_& module, py::handle module_spec) {
    module.attr("__loader__") = module_spec.attr("loader");
    module.attr("__file__") = module_spec.attr("origin");
    module.attr("__package__") = module_spec.attr("parent");
    py::object locations = module_spec.attr("submodule_search_locations");
    if (!locations.is_none()) module.attr("__path__") = locations;
}

}  // namespace

// Plain C API only: in a foreign interpreter no C++ exception may be raised,
// since releasing a caught pybind11 error re-acquires the GIL through the main
// interpreter's thread state and would deadlock.
bool ModuleLifecycle::is_home_interpreter() noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return false;
    if (interpreter_id_ < 0) interpreter_id_ = current;
    if (current == interpreter_id_) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

PyObject* ModuleLifecycle::create(PyObject* module_spec) noexcept {
    if (!is_home_interpreter()) return nullptr;
    return guarded([&]() -> PyObject* {
        if (module_ != nullptr) return Py_NewRef(module_);
        py::object name = py::reinterpret_borrow<py::object>(module_spec).attr("name");
        PyObject* created = PyModule_NewObject(name.ptr());
        if (created == nullptr) throw py::error_already_set();
        py::module_ module = py::reinterpret_steal<py::module_>(created);
        copy_from_module_spec(module, module_spec);
        return module.release().ptr();
    });
}

int ModuleLifecycle::exec(PyObject* module) noexcept {
    if (!is_home_interpreter()) return -1;
    return guarded_status([&]() -> int {
        if (module_ != nullptr) {
            if (module_ == module) return 0;
            std::string message =
                std::string("Module '") + short_name_ + "' has already been imported. Re-initialisation is not supported.";
            throw_python_error(PyExc_RuntimeError, message.c_str());
        }
        run_body(module);
        return 0;
    });
}

void ModuleLifecycle::run_body(PyObject* module) {
    py::dict modules = py::module_::import("sys").attr("modules");
    const bool registered_here = !modules.contains(qualified_name_);
    module_ = Py_NewRef(module);
    try {
        if (registered_here) modules[qualified_name_] = py::handle(module);
        ready_function_type();
        body_(py::reinterpret_borrow<py::module_>(module));
    } catch (...) {
        // A failed body leaves nothing behind: the next import, in whichever
        // interpreter, starts afresh.
        Py_CLEAR(module_);
        interpreter_id_ = -1;
        if (registered_here && PyDict_GetItemString(modules.ptr(), qualified_name_) == module)
            if (PyDict_DelItemString(modules.ptr(), qualified_name_) < 0) PyErr_Clear();
        throw;
    }
}

}  // namespace tarvex::rt
