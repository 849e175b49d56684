// Shortcuts past NumPy's Python-level wrappers for calls whose outcome is
// known in advance. Each applies only to exact ndarrays while the module's
// `np` is still NumPy and the wrapper is still NumPy's own, and otherwise
// makes the documented call; so the result is the very object (or the same
// bits) the call would give.
#include "resmon/resmon.hpp"

namespace tarvex::resmon {

namespace {

struct NumpyOriginals {
    py::object numpy, ndarray, float32_dtype;
    py::object asarray, einsum, c_einsum;
    py::object s_asarray, s_einsum, s_dtype, s_shape;
};

// Filled when the module body runs and kept, like the module, for the life
// of the process (never destroyed: no reference is dropped after shutdown).
NumpyOriginals* originals = nullptr;

py::object interned(const char* text) { return rt::steal_or_throw(PyUnicode_InternFromString(text)); }

bool is_exact_ndarray(const NumpyOriginals& o, py::handle value) {
    return reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == o.ndarray.ptr();
}

// The module's `np` global is NumPy and its `name` is still `original`.
bool numpy_function_is_original(const Call& call, const NumpyOriginals& o, const py::object& name,
                                const py::object& original) {
    py::object np = call.global("np");
    if (!np.is(o.numpy)) return false;
    py::object current = py::reinterpret_steal<py::object>(PyObject_GetAttr(np.ptr(), name.ptr()));
    if (!current) PyErr_Clear();
    return current.is(original);
}

}  // namespace

void remember_numpy_originals(py::module_ module) {
    py::object np = module.attr("np");
    auto o = new NumpyOriginals{
        np,
        np.attr("ndarray"),
        np.attr("dtype")(np.attr("float32")),
        np.attr("asarray"),
        np.attr("einsum"),
        py::module_::import("numpy._core.multiarray").attr("c_einsum"),
        interned("asarray"),
        interned("einsum"),
        interned("dtype"),
        interned("shape"),
    };
    delete originals;  // a module body that failed earlier may have filled it
    originals = o;
}

NumpyArrays::NumpyArrays(const Call& call) {
    if (originals != nullptr && call.global("np").is(originals->numpy))
        ndarray_ = reinterpret_cast<PyTypeObject*>(originals->ndarray.ptr());
}

py::object float32(const Call& call) { return call.global("np").attr("float32"); }

// np.asarray(x, dtype=np.float32) hands back x itself when x is an exact
// ndarray whose dtype is NumPy's native float32 descriptor.
py::object as_float32_array(const Call& call, py::handle x) {
    if (originals != nullptr && is_exact_ndarray(*originals, x) &&
        numpy_function_is_original(call, *originals, originals->s_asarray, originals->asarray)) {
        py::object dtype = x.attr(originals->s_dtype);
        if (dtype.is(originals->float32_dtype)) return py::reinterpret_borrow<py::object>(x);
    }
    py::object np = call.global("np");
    return np.attr("asarray")(x, py::arg("dtype") = np.attr("float32"));
}

// np.einsum without `optimize` calls c_einsum with the same arguments, once
// NumPy's __array_function__ dispatch has found only exact ndarrays.
py::object row_quadratic_forms(const Call& call, py::handle r, py::handle matrix) {
    static constexpr const char* subscripts = "ni,ij,nj->n";
    if (originals != nullptr && is_exact_ndarray(*originals, r) && is_exact_ndarray(*originals, matrix) &&
        numpy_function_is_original(call, *originals, originals->s_einsum, originals->einsum))
        return originals->c_einsum(subscripts, r, matrix, r);
    return call.global("np").attr("einsum")(subscripts, r, matrix, r);
}

// np.shape(a) reads a.shape first; an exact ndarray always has it.
py::object shape_of(const Call& call, py::handle array) {
    if (originals != nullptr && is_exact_ndarray(*originals, array)) return array.attr(originals->s_shape);
    return call.global("np").attr("shape")(array);
}

}  // namespace tarvex::resmon
