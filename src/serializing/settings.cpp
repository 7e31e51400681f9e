#include "serializing/settings.hpp"

#include "lib/cached_objects.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

bool CustomTypeMap::parse(PyObject* custom_types) {
    records_.clear();
    if (!PyDict_Check(custom_types)) {
        to_py_error(msg::CUSTOM_TYPES_NOT_DICT, PyExc_TypeError);
        return false;
    }
    // Hold the dict: reading attributes below can run Python code.
    PyPointer dict = PyPointer::borrow(custom_types);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict.get(), &position, &key, &value)) {
        if (!PyType_Check(key)) {
            to_py_error(msg::CUSTOM_TYPES_BAD_KEY, PyExc_TypeError);
            return false;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != CUSTOM_TYPE_CLASS) {
            to_py_error(msg::CUSTOM_TYPES_BAD_VALUE, PyExc_TypeError);
            return false;
        }
        CustomTypeRecord record;
        record.type = PyPointer::borrow(key);
        PyPointer item = PyPointer::borrow(value);
        PyPointer include_subclasses;
        PyPointer one_way;
        if (!(record.identifier = PyPointer::steal(PyObject_GetAttrString(item.get(), "identifier"))) ||
            !(record.converter = PyPointer::steal(PyObject_GetAttrString(item.get(), "converter"))) ||
            !(include_subclasses = PyPointer::steal(PyObject_GetAttrString(item.get(), "include_subclasses"))) ||
            !(one_way = PyPointer::steal(PyObject_GetAttrString(item.get(), "one_way")))) {
            report_as_memory_error();
            return false;
        }
        record.include_subclasses = include_subclasses.get() == Py_True;
        record.one_way = one_way.get() == Py_True;

        bool replaced = false;
        for (CustomTypeRecord& existing : records_) {
            if (existing.type.get() == key) {
                existing = std::move(record);
                replaced = true;
                break;
            }
        }
        if (!replaced) records_.push_back(std::move(record));
    }
    return true;
}

}  // namespace quarl

