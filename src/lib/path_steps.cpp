#include "lib/path_steps.hpp"

#include "lib/cached_objects.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

bool path_step(PyObject* item, PathStep& step) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(item)) != IDX_CLASS) {
        step = PathStep{item, 0};
        return true;
    }
    PyPointer index = PyPointer::steal(PyObject_GetAttr(item, INDEX_ATTRIBUTE_NAME));
    if (!index) {
        report_as_memory_error();
        return false;
    }
    const int negative = PyObject_RichCompareBool(index.get(), ZERO, Py_LT);
    if (negative < 0) return false;
    if (negative == 1) {
        to_py_error(msg::NEGATIVE_INDEX, PyExc_TypeError);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    step = PathStep{nullptr, value};
    return true;
}

bool build_steps(PyObject* path, std::vector<PathStep>& steps, std::vector<PyPointer>& owned) {
    if (!PyList_Check(path)) {
        to_py_error(msg::PATH_NOT_LIST, PyExc_TypeError);
        return false;
    }
    PyPointer held_path = PyPointer::borrow(path);
    // Reading an index may run Python code that edits the list: re-read its size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(path); ++i) {
        PyPointer item = PyPointer::borrow(PyList_GET_ITEM(path, i));
        PathStep step;
        if (!path_step(item.get(), step)) return false;
        steps.push_back(step);
        if (!step.is_index()) owned.push_back(std::move(item));
    }
    return true;
}

}  // namespace quarl
