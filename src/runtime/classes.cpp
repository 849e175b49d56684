#include "runtime/classes.hpp"

#include "runtime/arguments.hpp"
#include "runtime/function.hpp"

namespace tarvex::rt {

py::object derive_metaclass(py::tuple bases) {
    py::object winner = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    for (py::handle base : bases) {
        py::object candidate = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner.ptr()),
                             reinterpret_cast<PyTypeObject*>(candidate.ptr())))
            continue;
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(candidate.ptr()),
                             reinterpret_cast<PyTypeObject*>(winner.ptr()))) {
            winner = candidate;
            continue;
        }
        throw_python_error(PyExc_TypeError,
                           "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                           "subclass of the metaclasses of all its bases");
    }
    return winner;
}

py::object create_class(const char* name, py::handle module, py::tuple bases,
                        const std::function<void(py::object& namespace_)>& fill) {
    py::object metaclass = derive_metaclass(bases);
    py::str class_name(name);
    py::object namespace_ = metaclass.attr("__prepare__")(class_name, bases);
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = class_name;
    fill(namespace_);
    py::object cls = metaclass(class_name, bases, namespace_);
    bind_defining_class(cls);
    return cls;
}

}  // namespace tarvex::rt
