#include "utils/custom_type_loaders.hpp"

#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

bool LoaderMap::parse(PyObject* custom_types) noexcept {
    loaders_.reset();
    if (!PyDict_Check(custom_types)) {
        to_py_error(msg::CUSTOM_TYPES_NOT_DICT, PyExc_TypeError);
        return false;
    }
    PyPointer source = PyPointer::borrow(custom_types);
    PyPointer copy = PyPointer::steal(PyDict_New());
    if (!copy) return false;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(source.get(), &position, &key, &value)) {
        if (!PyCallable_Check(value)) {
            to_py_error(msg::CUSTOM_TYPES_NOT_CALLABLE, PyExc_TypeError);
            return false;
        }
        // Inserting may run the key's __hash__/__eq__: hold both meanwhile.
        PyPointer held_key = PyPointer::borrow(key);
        PyPointer held_value = PyPointer::borrow(value);
        if (PyDict_SetItem(copy.get(), held_key.get(), held_value.get()) < 0) return false;
    }
    loaders_ = std::move(copy);
    return true;
}

PyObject* LoaderMap::find(PyObject* identifier, PyPointer& lookup_error) const noexcept {
    if (!loaders_) return nullptr;
    PyObject* loader = PyDict_GetItemWithError(loaders_.get(), identifier);
    if (loader == nullptr && PyErr_Occurred()) lookup_error = PyPointer::steal(PyErr_GetRaisedException());
    return loader;
}

}  // namespace quarl
