// Module tarvex.core.integrity: entry point, lifecycle and the module body,
// which binds names from sibling modules of the package and then creates
// QVMIntegrityModel.
#include <initializer_list>

#include "integrity/integrity.hpp"
#include "runtime/lifecycle.hpp"
#include "runtime/objects.hpp"

namespace tarvex::integrity {

namespace {

// One imported name and the name it is bound to in this module.
struct Name {
    const char* name;
    const char* bind_as = nullptr;  // nullptr: the same name
};

[[noreturn]] void throw_cannot_import(py::handle sibling, const char* name) {
    py::object module_name = rt::attribute_or_empty(sibling, "__name__");
    if (!module_name || !PyUnicode_Check(module_name.ptr())) module_name = py::str("<unknown module name>");
    py::object path = rt::attribute_or_empty(sibling, "__file__");
    if (!path) path = py::none();
    py::object message =
        rt::steal_or_throw(PyUnicode_FromFormat("cannot import name '%s' from '%U'", name, module_name.ptr()));
    PyErr_SetImportError(message.ptr(), module_name.ptr(), path.ptr());
    throw py::error_already_set();
}

// A requested name of the sibling: its attribute, or else the submodule of
// that name that an import has already placed in the module table.
py::object imported_name(py::handle sibling, const char* name) {
    if (py::object value = rt::attribute_or_empty(sibling, name)) return value;
    py::object module_name = rt::attribute_or_empty(sibling, "__name__");
    if (module_name && PyUnicode_Check(module_name.ptr())) {
        py::object submodule_name = rt::steal_or_throw(PyUnicode_FromFormat("%U.%s", module_name.ptr(), name));
        PyObject* submodule = PyImport_GetModule(submodule_name.ptr());
        if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    throw_cannot_import(sibling, name);
}

// `from .<relative> import <names>` into this module's namespace, through the
// interpreter's own import machinery (relative to this module's package).
void import_sibling(py::module_ module, const char* relative, std::initializer_list<Name> names) {
    py::object globals = module.attr("__dict__");
    py::tuple fromlist(names.size());
    size_t i = 0;
    for (const Name& name : names) fromlist[i++] = py::str(name.name);
    py::object sibling = rt::steal_or_throw(
        PyImport_ImportModuleLevelObject(py::str(relative).ptr(), globals.ptr(), nullptr, fromlist.ptr(), 1));
    for (const Name& name : names)
        module.attr(name.bind_as ? name.bind_as : name.name) = imported_name(sibling, name.name);
}

void module_body(py::module_ module) {
    py::module_ typing = py::module_::import("typing");
    module.attr("Any") = typing.attr("Any");
    module.attr("Dict") = typing.attr("Dict");
    import_sibling(module, "extractors.classification", {{"ClassificationExtractor"}});
    import_sibling(module, "integrity_monitor", {{"IntegrityMonitor"}});
    import_sibling(module, "integrity_monitor", {{"ScoreResult"}});
    import_sibling(module, "detector", {{"ConditionalMahalanobis"}});
    import_sibling(module, "serialization", {{"load_json"}, {"save_json"}});
    import_sibling(module, "_model_utils",
                   {{"to_device", "_to_device"},
                    {"forward", "_forward"},
                    {"example_tensor", "_example_tensor"},
                    {"set_primary_input", "_set_primary_input"}});
    module.attr("QVMIntegrityModel") = define_integrity_model(module, module.attr("IntegrityMonitor"));
}

rt::ModuleLifecycle lifecycle("integrity", "tarvex.core.integrity", module_body);

}  // namespace

}  // namespace tarvex::integrity

extern "C" PYBIND11_EXPORT PyObject* PyInit_integrity() {
    return tarvex::rt::MultiPhaseModule<tarvex::integrity::lifecycle>::initialise();
}
