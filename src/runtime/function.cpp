#include "runtime/function.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "runtime/guard.hpp"
#include "runtime/objects.hpp"

namespace tarvex::rt {

namespace {

constexpr size_t kMaxParams = 16;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDefinition* definition;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;  // tuple, possibly empty
    PyObject* dict;
    PyObject* signature;  // built on first use
    PyObject* namespace_;  // globals of the defining module
    PyObject* defining_class;  // set once the class exists
    std::array<Conversion, kMaxParams> conversions;  // per parameter, from its annotation
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

extern PyTypeObject function_type;

// ---- binding ---------------------------------------------------------------

size_t parameter_index(const FunctionDefinition& definition, PyObject* keyword) {
    for (size_t i = 0; i < definition.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, definition.params[i].name) == 0) return i;
    return definition.params.size();
}

// Fills `values` from a vectorcall in the order the interpreter checks Python
// functions: positionals, keywords, the positional count, then defaults.
void bind_arguments(FunctionObject* f, PyObject* const* args, size_t positional, PyObject* kwnames,
                    std::span<py::object> values) {
    const FunctionDefinition& definition = *f->definition;
    const size_t count = definition.params.size();
    // The messages below are built while Python code can still run (a keyword
    // of a str subclass formats itself), and that code may reassign
    // __qualname__: the text is read from a reference this call owns.
    const py::object qualname_owner = py::reinterpret_borrow<py::object>(f->qualname);
    const char* qualname_text = PyUnicode_AsUTF8(qualname_owner.ptr());  // a reassigned __qualname__ may not encode
    if (qualname_text == nullptr) throw py::error_already_set();
    std::string_view qualname = qualname_text;
    for (size_t i = 0; i < positional && i < count; ++i) values[i] = py::reinterpret_borrow<py::object>(args[i]);
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t index = parameter_index(definition, keyword);
        if (index == count) throw_unexpected_keyword(qualname, keyword);
        if (values[index]) throw_multiple_values(qualname, definition.params[index].name);
        values[index] = py::reinterpret_borrow<py::object>(args[positional + static_cast<size_t>(k)]);
    }
    const size_t defaults = static_cast<size_t>(PyTuple_GET_SIZE(f->defaults));
    if (positional > count) throw_too_many_positional(qualname, count, defaults, positional);
    const size_t first_default = count - defaults;
    for (size_t i = first_default; i < count; ++i)
        if (!values[i]) values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default));
    for (size_t i = 0; i < count; ++i)
        if (!values[i]) throw_missing_arguments(qualname, definition.params, values);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        FunctionObject* f = as_function(callable);
        std::array<py::object, kMaxParams> storage;
        std::span<py::object> values(storage.data(), f->definition->params.size());
        bind_arguments(f, args, static_cast<size_t>(PyVectorcall_NARGS(nargsf)), kwnames, values);
        apply_conversions(f->definition->params, std::span(f->conversions.data(), values.size()), values);
        py::object result = f->definition->body(Call(callable, values));
        return result.release().ptr();
    });
}

// ---- signature ---------------------------------------------------------------

py::object build_signature(FunctionObject* f) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object signature = inspect.attr("Signature");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::object empty = parameter.attr("empty");
    const auto& params = f->definition->params;
    const size_t defaults = static_cast<size_t>(PyTuple_GET_SIZE(f->defaults));
    const size_t first_default = params.size() - defaults;
    py::list parameters;
    for (size_t i = 0; i < params.size(); ++i) {
        py::object annotation = params[i].annotation ? py::object(py::str(params[i].annotation)) : empty;
        py::object fallback = i >= first_default
                                  ? py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default))
                                  : empty;
        parameters.append(parameter(py::str(params[i].name), kind, py::arg("default") = fallback,
                                    py::arg("annotation") = annotation));
    }
    py::object returns = f->definition->returns ? py::object(py::str(f->definition->returns)) : empty;
    return signature(parameters, py::arg("return_annotation") = returns);
}

PyObject* get_signature(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        if (f->signature == nullptr) f->signature = build_signature(f).release().ptr();
        return Py_NewRef(f->signature);
    });
}

// ---- attributes ----------------------------------------------------------------

PyObject* get_member(PyObject* self, void* offset) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
    return Py_NewRef(value);
}

// __name__, __qualname__ and __module__ may be reassigned (as on functions),
// but only to strings for the first two.
int set_string_member(PyObject* self, PyObject* value, void* offset) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "this attribute must be set to a string object");
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_any_member(PyObject* self, PyObject* value, void* offset) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
    Py_SETREF(*slot, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return PyTuple_GET_SIZE(defaults) == 0 ? Py_NewRef(Py_None) : Py_NewRef(defaults);
}

#define MEMBER_OFFSET(field) reinterpret_cast<void*>(offsetof(FunctionObject, field))

PyGetSetDef function_getset[] = {
    {"__name__", get_member, set_string_member, nullptr, MEMBER_OFFSET(name)},
    {"__qualname__", get_member, set_string_member, nullptr, MEMBER_OFFSET(qualname)},
    {"__module__", get_member, set_any_member, nullptr, MEMBER_OFFSET(module_name)},
    {"__doc__", get_member, set_any_member, nullptr, MEMBER_OFFSET(doc)},
    {"__annotations__", get_member, nullptr, nullptr, MEMBER_OFFSET(annotations)},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef MEMBER_OFFSET

// ---- object protocol -------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// Functions pickle by reference, as Python functions do: the module and
// qualified name are stored and looked up again when loading.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// The object references a function holds, for the garbage collector.
constexpr PyObject* FunctionObject::*kReferences[] = {
    &FunctionObject::name,     &FunctionObject::qualname,  &FunctionObject::module_name,
    &FunctionObject::doc,      &FunctionObject::annotations, &FunctionObject::defaults,
    &FunctionObject::dict,     &FunctionObject::signature, &FunctionObject::namespace_,
    &FunctionObject::defining_class,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    for (PyObject* FunctionObject::*reference : kReferences) Py_VISIT(f->*reference);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject* FunctionObject::*reference : kReferences) Py_CLEAR(f->*reference);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject function_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "tarvex_function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "Function implemented in C++ with Python function semantics.";
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_getset = function_getset;
    type.tp_methods = function_methods;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

py::dict annotations_of(const FunctionDefinition& definition) {
    py::dict annotations;
    for (const Param& param : definition.params)
        if (param.annotation) annotations[py::str(param.name)] = py::str(param.annotation);
    if (definition.returns) annotations["return"] = py::str(definition.returns);
    return annotations;
}

}  // namespace

void ready_function_type() {
    if (PyType_Ready(&function_type) < 0) throw py::error_already_set();
}

namespace {

py::object make_function(const FunctionDefinition& definition, py::handle module, const std::string& qualified_name) {
    py::tuple defaults = definition.defaults ? definition.defaults() : py::tuple();
    if (definition.params.size() > kMaxParams || defaults.size() > definition.params.size())
        throw_python_error(PyExc_SystemError, "function definition out of range");
    require_known_annotations(qualified_name.c_str(), definition.params);
    ready_function_type();
    py::str name(definition.name), qualname(qualified_name);
    py::object module_name = module.attr("__name__");
    py::object doc = definition.doc ? py::object(py::str(definition.doc)) : py::none();
    py::dict annotations = annotations_of(definition);
    py::object namespace_ = module.attr("__dict__");

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->definition = &definition;
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module_name = module_name.release().ptr();
    f->doc = doc.release().ptr();
    f->annotations = annotations.release().ptr();
    f->defaults = defaults.release().ptr();
    f->dict = nullptr;
    f->signature = nullptr;
    f->namespace_ = namespace_.release().ptr();
    f->defining_class = nullptr;
    for (size_t i = 0; i < definition.params.size(); ++i)
        f->conversions[i] = conversion_for(definition.params[i].annotation).value_or(Conversion::None);
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace

py::object make_function(const FunctionDefinition& definition, py::handle module) {
    return make_function(definition, module, definition.name);
}

void add_methods(py::object& namespace_, const MethodTable& table, py::handle module) {
    for (const FunctionDefinition& method : table.methods) {
        py::object function = make_function(method, module, std::string(table.class_name) + "." + method.name);
        namespace_[method.name] = method.binding == Binding::Static
                                      ? steal_or_throw(PyStaticMethod_New(function.ptr()))
                                      : function;
    }
}

void bind_defining_class(py::handle cls) {
    py::dict members = cls.attr("__dict__");
    for (auto item : members) {
        py::object value = py::reinterpret_borrow<py::object>(item.second);
        if (PyObject_TypeCheck(value.ptr(), &PyStaticMethod_Type)) value = value.attr("__func__");
        if (!Py_IS_TYPE(value.ptr(), &function_type)) continue;
        FunctionObject* f = as_function(value.ptr());
        Py_XSETREF(f->defining_class, Py_NewRef(cls.ptr()));
    }
}

py::object Call::global(const char* name) const {
    PyObject* namespace_ = as_function(function_)->namespace_;
    PyObject* value = PyDict_GetItemString(namespace_, name);  // borrowed; reports no errors
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::handle Call::arg(const char* name) const {
    const std::vector<Param>& params = as_function(function_)->definition->params;
    for (size_t i = 0; i < params.size(); ++i)
        if (std::strcmp(params[i].name, name) == 0) return values_[i];
    PyErr_Format(PyExc_SystemError, "%U() has no parameter '%s'", as_function(function_)->qualname, name);
    throw py::error_already_set();
}

py::object Call::super() const {
    PyObject* cls = as_function(function_)->defining_class;
    if (cls == nullptr) throw_python_error(PyExc_RuntimeError, "super(): __class__ cell not found");
    py::object builtin_super = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PySuper_Type));
    return builtin_super(py::handle(cls), self());
}

}  // namespace tarvex::rt
