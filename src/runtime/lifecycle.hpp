// The once-per-process module lifecycle shared by both extension modules.
//
// A module keeps its state for the whole process: it may only be loaded into
// the first interpreter that imports it, creating it again hands back the same
// module object (so its classes keep their identity), and its body runs once.
#pragma once

#include <cstdint>

#include "runtime/python.hpp"

namespace tarvex::rt {

class ModuleLifecycle {
public:
    using Body = void (*)(py::module_ module);

    ModuleLifecycle(const char* short_name, const char* qualified_name, Body body)
        : short_name_(short_name), qualified_name_(qualified_name), body_(body) {}

    const char* short_name() const { return short_name_; }

    // Py_mod_create: returns a new reference or nullptr with an error set.
    PyObject* create(PyObject* module_spec) noexcept;
    // Py_mod_exec: returns 0 on success, -1 with an error set.
    int exec(PyObject* module) noexcept;

private:
    bool is_home_interpreter() noexcept;
    void run_body(PyObject* module);

    const char* short_name_;
    const char* qualified_name_;
    Body body_;
    int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // strong reference once the body has started
};

// The multi-phase module definition (a create and an exec slot) of the module
// whose lifecycle is `lifecycle`; its entry point returns `initialise()`.
template <ModuleLifecycle& lifecycle>
struct MultiPhaseModule {
    static PyObject* initialise() {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_create, reinterpret_cast<void*>(create)},
            {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
            // Lets every interpreter reach the create step, which refuses all
            // but the first with this module's own message.
            {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
            {0, nullptr},
        };
        static PyModuleDef definition = {
            PyModuleDef_HEAD_INIT, lifecycle.short_name(), nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
        };
        return PyModuleDef_Init(&definition);
    }

private:
    static PyObject* create(PyObject* module_spec, PyModuleDef*) { return lifecycle.create(module_spec); }
    static int exec(PyObject* module) { return lifecycle.exec(module); }
};

}  // namespace tarvex::rt
