#include "serializing/subclass_copies.hpp"

#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

PyObject* copy_as_base(PyObject* obj) noexcept {
    PyObject* copy = nullptr;
    if (PyLong_Check(obj)) {
        copy = _PyLong_Copy(reinterpret_cast<PyLongObject*>(obj));
    } else if (PyFloat_Check(obj)) {
        copy = PyFloat_FromDouble(PyFloat_AS_DOUBLE(obj));
    } else if (PyUnicode_Check(obj)) {
        copy = PyUnicode_FromObject(obj);
    } else if (PyBytes_Check(obj)) {
        copy = PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    } else if (PyList_Check(obj)) {
        copy = PyList_GetSlice(obj, 0, PyList_GET_SIZE(obj));
    } else if (PyTuple_Check(obj)) {
        copy = PyTuple_GetSlice(obj, 0, PyTuple_GET_SIZE(obj));
    } else {
        PyPointer dict = PyPointer::steal(PyDict_New());
        if (dict && PyDict_Merge(dict.get(), obj, 1) == 0) return dict.release();
        return nullptr;  // the exception of keys() or of an item lookup stays
    }
    if (copy == nullptr) report_as_memory_error();
    return copy;
}

}  // namespace quarl
