// QVMIntegrityModel: IntegrityMonitor with the extractor pinned to
// ClassificationExtractor and the detector kind to "v1", and the loader of
// "tarvex_integrity_v1" artifacts.
#include "integrity/integrity.hpp"
#include "runtime/arguments.hpp"
#include "runtime/classes.hpp"
#include "runtime/objects.hpp"

namespace tarvex::integrity {

namespace {

using rt::differs;
using rt::is_truthy;
using rt::item;
using rt::steal_or_throw;

constexpr const char* kArtifactFormat = "tarvex_integrity_v1";
constexpr const char* kDetectorKind = "v1";

constexpr const char* kClassDoc =
    "\n"
    "    v1 integrity monitor (sklearn conditional Mahalanobis detector).\n"
    "\n"
    "    Thin subclass of IntegrityMonitor that explicitly pins ClassificationExtractor\n"
    "    so the S/Z feature space is stable regardless of model size.\n"
    "    ";

// Constructs the base part with the pinned extractor and detector kind.
py::object init(const Call& call) {
    py::handle model = call.arg("model");
    py::handle num_classes = call.arg("num_classes");  // already an int: converted on binding
    py::object parent = call.super();
    py::object extractor = call.global("ClassificationExtractor")(model);
    parent.attr("__init__")(model, num_classes, py::arg("extractor") = extractor,
                            py::arg("detector_kind") = kDetectorKind);
    return py::none();
}

// Raises `type` with "Invalid tarvEX artifact: <detail>", where `detail` is a
// PyUnicode_FromFormat format.
template <class... Args>
[[noreturn]] void throw_invalid_artifact(PyObject* type, const char* detail, Args... args) {
    py::object text = steal_or_throw(PyUnicode_FromFormat(detail, args...));
    py::object message = steal_or_throw(PyUnicode_FromFormat("Invalid tarvEX artifact: %U", text.ptr()));
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// type(value).__name__, as a Python str.
py::object type_name(py::handle value) { return steal_or_throw(PyType_GetName(Py_TYPE(value.ptr()))); }

// The artifact's "num_classes", converted with int(). A bool converts too, but
// true is no class count, and a monitor of zero or fewer classes cannot score.
py::object artifact_num_classes(py::handle payload) {
    py::object stored = item(payload, "num_classes");
    if (PyBool_Check(stored.ptr()))
        throw_invalid_artifact(PyExc_TypeError, "'num_classes' must be an integer, not bool");
    py::object count = rt::python_int(stored);
    if (rt::saturating_index(count) <= 0)
        throw_invalid_artifact(PyExc_ValueError, "'num_classes' must be a positive integer");
    return count;
}

// The artifact's "hooks" as a fresh list of submodule names (none when the key
// is missing), so later changes to either side do not leak into the other.
// Only a list of strings is accepted: a string would otherwise be taken apart
// into one name per character, and a mapping into its keys.
py::object artifact_hooks(py::handle payload) {
    py::object stored = payload.attr("get")("hooks", py::list());
    if (!PyList_Check(stored.ptr()))
        throw_invalid_artifact(PyExc_TypeError, "'hooks' must be a list of strings, not %U",
                               type_name(stored).ptr());
    // list() semantics, so a list subclass is read the way list(stored) reads it.
    py::object hooks = steal_or_throw(PySequence_List(stored.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hooks.ptr()); ++i) {
        py::handle hook = PyList_GET_ITEM(hooks.ptr(), i);
        if (!PyUnicode_Check(hook.ptr()))
            throw_invalid_artifact(PyExc_TypeError, "'hooks' must be a list of strings, entry %zd is %U", i,
                                   type_name(hook).ptr());
    }
    return hooks;
}

// A detector from the artifact's entry under `key`: rebuilt from it when the
// entry is truthy, a fresh one otherwise (missing, null or empty). A stored
// detector is a JSON object; anything else (a list, a number, a string) is
// refused here rather than failing inside the detector on a missing method.
py::object load_detector(const Call& call, py::handle payload, const char* key) {
    const bool stored = is_truthy(payload.attr("get")(key));
    py::object detector_class = call.global("ConditionalMahalanobis");
    if (!stored) return detector_class();
    py::object entry = item(payload, key);
    if (!PyDict_Check(entry.ptr()))
        throw_invalid_artifact(PyExc_ValueError, "'%s' must be an object, not %U", key, type_name(entry).ptr());
    py::object from_dict = detector_class.attr("from_dict");
    return from_dict(entry);
}

// Hands `hooks` to the instrumentor and enables them when there are any. The
// instrumentor is read afresh at each step, as attribute reads in Python code
// would be. When enabling fails (a name the model does not have, say) the
// previous selection is put back before the error propagates: the
// instrumentor checks the names before it replaces the hooks it has
// installed, so the instance is then left as it was.
void select_hooks(py::handle self, py::handle hooks) {
    py::object previous = rt::attribute_or_empty(self.attr("instrumentor"), "selected");
    self.attr("instrumentor").attr("selected") = hooks;
    if (PyList_GET_SIZE(hooks.ptr()) == 0) return;
    try {
        self.attr("instrumentor").attr("enable_selected_hooks")();
    } catch (py::error_already_set&) {
        py::object instrumentor = self.attr("instrumentor");
        if (previous)
            instrumentor.attr("selected") = previous;
        else if (PyObject_DelAttrString(instrumentor.ptr(), "selected") < 0)
            throw py::error_already_set();
        throw;
    }
    self.attr("_infer_ready") = py::bool_(true);
}

// Loads an artifact into this instance. Everything the artifact holds is read,
// checked and built before the instance is touched, so a rejected artifact
// leaves the instance as it was.
py::object import_json(const Call& call) {
    py::handle self = call.self();
    py::object payload = call.global("load_json")(call.arg("path"));

    if (differs(payload.attr("get")("format"), py::str(kArtifactFormat)))
        rt::throw_python_error(PyExc_ValueError, "Unsupported tarvEX artifact");

    py::object num_classes = artifact_num_classes(payload);
    py::object hooks = artifact_hooks(payload);
    py::object det_update = load_detector(call, payload, "det_update");
    py::object det_infer = load_detector(call, payload, "det_infer");

    // Without an instrumentor (a model that is not a PyTorch module) the hooks
    // are dropped.
    if (is_truthy(self.attr("instrumentor"))) select_hooks(self, hooks);
    self.attr("num_classes") = num_classes;
    self.attr("det_update") = det_update;
    self.attr("det_infer") = det_infer;
    return py::none();
}

const rt::MethodTable kIntegrityModelMethods{
    "QVMIntegrityModel",
    {
        {.name = "__init__", .params = {{"self"}, {"model"}, {"num_classes", "int"}}, .body = init},
        {.name = "import_json",
         .params = {{"self"}, {"path", "str"}},
         .returns = "None",
         .doc = "Load a v1 artifact.  Rejects other formats to preserve type safety.",
         .body = import_json},
    },
};

}  // namespace

py::object define_integrity_model(py::module_ module, py::handle base) {
    py::tuple bases = py::make_tuple(base);
    return rt::create_class(kIntegrityModelMethods.class_name, module, bases, [&](py::object& ns) {
        ns["__doc__"] = kClassDoc;
        rt::add_methods(ns, kIntegrityModelMethods, module);
    });
}

}  // namespace tarvex::integrity
