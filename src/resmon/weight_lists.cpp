// Stored weights back into tensors: what torch.tensor(value,
// dtype=torch.float32) does for nested lists of Python floats, in one pass
// over the values. A double narrows to float32 by the C conversion that
// PyTorch (and NumPy) use, so the values are the same bits; anything else
// (other leaf types, ragged or empty lists) is left to torch.tensor.
#include <vector>

#include "resmon/resmon.hpp"
#include "runtime/buffers.hpp"

namespace tarvex::resmon {

namespace {

bool is_sequence(PyObject* value) { return PyList_Check(value) || PyTuple_Check(value); }

Py_ssize_t sequence_length(PyObject* value) {
    return PyList_Check(value) ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
}

PyObject* sequence_item(PyObject* value, Py_ssize_t i) {
    return PyList_Check(value) ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i);
}

// The shape torch.tensor would give nested lists, read along the first
// elements; empty when some level is empty (left to the library).
std::vector<Py_ssize_t> leading_shape(PyObject* value) {
    std::vector<Py_ssize_t> shape;
    while (is_sequence(value)) {
        const Py_ssize_t length = sequence_length(value);
        if (length == 0) return {};
        shape.push_back(length);
        value = sequence_item(value, 0);
    }
    return shape;
}

// Copies the floats of a regular nesting of `shape`; false at the first list
// of another length or leaf that is not exactly a float. Runs no Python code,
// so the borrowed items stay valid.
bool fill(PyObject* value, const std::vector<Py_ssize_t>& shape, size_t axis, float*& out) {
    if (axis == shape.size()) {
        if (!PyFloat_CheckExact(value)) return false;
        *out++ = static_cast<float>(PyFloat_AS_DOUBLE(value));
        return true;
    }
    if (!is_sequence(value) || sequence_length(value) != shape[axis]) return false;
    for (Py_ssize_t i = 0; i < shape[axis]; ++i)
        if (!fill(sequence_item(value, i), shape, axis + 1, out)) return false;
    return true;
}

}  // namespace

py::object float32_tensor_from_lists(const Call& call, py::handle value) {
    if (!is_sequence(value.ptr())) return py::object();
    const std::vector<Py_ssize_t> shape = leading_shape(value.ptr());
    if (shape.empty()) return py::object();
    py::tuple dimensions(shape.size());
    for (size_t i = 0; i < shape.size(); ++i) dimensions[i] = py::int_(shape[i]);
    py::object array = call.global("np").attr("empty")(dimensions, float32(call));
    rt::ContiguousView buffer(array, "f", -1, true);
    if (!buffer) return py::object();
    float* out = buffer.items<float>();
    if (!fill(value.ptr(), shape, 0, out)) return py::object();
    return call.global("torch").attr("from_numpy")(array);
}

}  // namespace tarvex::resmon
