// A function type for C++ implementations that behaves like a Python function:
// it is called through vectorcall, binds as a method when stored in a class,
// can be wrapped in staticmethod, and carries __name__, __qualname__,
// __module__, __doc__, __annotations__ (strings), __defaults__, __dict__ and a
// __signature__ that inspect.signature() and help() use.
#pragma once

#include <span>
#include <vector>

#include "runtime/arguments.hpp"
#include "runtime/python.hpp"

namespace tarvex::rt {

class Call;
using Body = py::object (*)(const Call& call);

// How a function is stored in a class namespace: as itself (it then binds as
// a method) or wrapped in the built-in staticmethod.
enum class Binding { Method, Static };

// Static description of one callable. Definitions live for the whole process
// (they are namespace-scope constants of the module that defines them). The
// qualified name follows from where the function is made: its own name at
// module level, "Class.name" in a method table.
struct FunctionDefinition {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  // return annotation text; nullptr: none
    const char* doc = nullptr;
    Body body = nullptr;
    Binding binding = Binding::Method;
    py::tuple (*defaults)() = nullptr;  // values of the trailing parameters, as __defaults__
};

// The methods of one class, in the order its namespace lists them.
struct MethodTable {
    const char* class_name;
    std::vector<FunctionDefinition> methods;
};

// The arguments of one call, bound to the parameters and converted.
class Call {
public:
    Call(PyObject* function, std::span<const py::object> values) : function_(function), values_(values) {}

    py::handle operator[](size_t index) const { return values_[index]; }
    py::handle self() const { return values_[0]; }

    // The argument bound to the parameter `name`, so that a body reads like
    // the signature it implements. A name the definition lacks is a
    // programming error, raised as SystemError.
    py::handle arg(const char* name) const;

    // A name from the namespace of the module that defined the function, read
    // at call time so that callers may replace module attributes.
    py::object global(const char* name) const;

    // super() as written inside a method: bound to the defining class and self.
    py::object super() const;

private:
    PyObject* function_;
    std::span<const py::object> values_;
};

// Creates a module-level function object. `module` is the defining module,
// whose name fills __module__ and whose namespace `Call::global` reads.
py::object make_function(const FunctionDefinition& definition, py::handle module);

// Adds every method of `table` to a class namespace, in table order.
void add_methods(py::object& namespace_, const MethodTable& table, py::handle module);

// Records `cls` as the defining class of every function (plain or wrapped in
// staticmethod) stored in its own __dict__, so that Call::super() works.
void bind_defining_class(py::handle cls);

// Readies the function type; called by each module's exec step.
void ready_function_type();

}  // namespace tarvex::rt
