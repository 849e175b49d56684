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
    py::handle model = call[1];
    py::handle num_classes = call[2];  // already an int: converted on binding
    py::object parent = call.super();
    py::object extractor = call.global("ClassificationExtractor")(model);
    parent.attr("__init__")(model, num_classes, py::arg("extractor") = extractor,
                            py::arg("detector_kind") = kDetectorKind);
    return py::none();
}

// A detector from the artifact's entry under `key`: rebuilt from it when the
// entry is truthy, a fresh one otherwise (missing, null or empty).
py::object load_detector(const Call& call, py::handle payload, const char* key) {
    const bool stored = is_truthy(payload.attr("get")(key));
    py::object detector_class = call.global("ConditionalMahalanobis");
    if (!stored) return detector_class();
    py::object from_dict = detector_class.attr("from_dict");
    return from_dict(item(payload, key));
}

// Loads an artifact into this instance. Only the format check is guaranteed
// to leave the instance untouched on failure; later steps assign as they go.
py::object import_json(const Call& call) {
    py::handle self = call.self();
    py::object payload = call.global("load_json")(call[1]);

    if (differs(payload.attr("get")("format"), py::str(kArtifactFormat)))
        rt::throw_python_error(PyExc_ValueError, "Unsupported tarvEX artifact");

    self.attr("num_classes") = rt::python_int(item(payload, "num_classes"));

    // A fresh list whatever the payload holds, so later changes to either side
    // do not leak into the other.
    py::object hooks = steal_or_throw(PySequence_List(payload.attr("get")("hooks", py::list()).ptr()));

    // The instrumentor is read afresh at each step, as attribute reads in
    // Python code would be.
    if (is_truthy(self.attr("instrumentor"))) {
        self.attr("instrumentor").attr("selected") = hooks;
        if (PyList_GET_SIZE(hooks.ptr()) > 0) {
            self.attr("instrumentor").attr("enable_selected_hooks")();
            self.attr("_infer_ready") = py::bool_(true);
        }
    }

    self.attr("det_update") = load_detector(call, payload, "det_update");
    self.attr("det_infer") = load_detector(call, payload, "det_infer");
    return py::none();
}

const rt::FunctionDefinition kInit{
    .name = "__init__",
    .qualname = "QVMIntegrityModel.__init__",
    .params = {{"self"}, {"model"}, {"num_classes", "int"}},
    .body = init,
};

const rt::FunctionDefinition kImportJson{
    .name = "import_json",
    .qualname = "QVMIntegrityModel.import_json",
    .params = {{"self"}, {"path", "str"}},
    .returns = "None",
    .doc = "Load a v1 artifact.  Rejects other formats to preserve type safety.",
    .body = import_json,
};

}  // namespace

py::object define_integrity_model(py::module_ module, py::handle base) {
    py::tuple bases = py::make_tuple(base);
    return rt::create_class("QVMIntegrityModel", module, bases, [&](py::object& ns) {
        ns["__doc__"] = kClassDoc;
        ns["__init__"] = rt::make_function(kInit, module);
        ns["import_json"] = rt::make_function(kImportJson, module);
    });
}

}  // namespace tarvex::integrity
