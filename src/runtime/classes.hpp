// Class creation the way a class statement does it, from C++.
#pragma once

#include <functional>

#include "runtime/python.hpp"

namespace tarvex::rt {

// The metaclass Python derives for `bases`: the most derived of their types
// (`type` when there are none); TypeError on a conflict.
py::object derive_metaclass(py::tuple bases);

// Runs the class-creation protocol: derives the metaclass, asks its
// __prepare__ for the namespace, stores __module__ and __qualname__, lets
// `fill` add the class body in order, calls the metaclass and finally binds
// the methods' defining class (what a __class__ cell does for super()).
py::object create_class(const char* name, py::handle module, py::tuple bases,
                        const std::function<void(py::object& namespace_)>& fill);

}  // namespace tarvex::rt
